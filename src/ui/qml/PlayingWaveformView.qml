import QtQuick

// Four green capsules, 2.5 wide and 2 apart, in a 16 x 14 frame; their heights come from the
// bridge's timeline (4 to 13 points, or 5, 11, 8, 6 when motion is reduced).
Item {
    id: waveform
    required property list<real> heights

    implicitWidth: 16
    implicitHeight: 14
    width: 16
    height: 14
    Accessible.ignored: true

    Row {
        anchors.centerIn: parent
        spacing: 2
        Rectangle {
            objectName: "waveformBar0"
            anchors.verticalCenter: parent.verticalCenter
            width: 2.5
            height: waveform.heights.length > 0 ? waveform.heights[0] : 4
            radius: width / 2
            color: Style.green
        }
        Rectangle {
            objectName: "waveformBar1"
            anchors.verticalCenter: parent.verticalCenter
            width: 2.5
            height: waveform.heights.length > 1 ? waveform.heights[1] : 4
            radius: width / 2
            color: Style.green
        }
        Rectangle {
            objectName: "waveformBar2"
            anchors.verticalCenter: parent.verticalCenter
            width: 2.5
            height: waveform.heights.length > 2 ? waveform.heights[2] : 4
            radius: width / 2
            color: Style.green
        }
        Rectangle {
            objectName: "waveformBar3"
            anchors.verticalCenter: parent.verticalCenter
            width: 2.5
            height: waveform.heights.length > 3 ? waveform.heights[3] : 4
            radius: width / 2
            color: Style.green
        }
    }
}
