import QtQuick
import Sonavert.Ui

// The views are made inside a shown item: a test case itself is never visible.
Item {
    width: 480
    height: 640

    ViewTestCase {
        name: "DeviceList"

        Component {
            id: listView
            DeviceListView {
                width: 360
                height: 520
            }
        }

        function test_searchingAndNothingFound() {
            let list = make(listView, "searching");
            verify(shown(find(list, "lookingForDevices")));
            verify(!shown(find(list, "noDevicesFound")));
            list = make(listView, "nothing-found");
            const empty = find(list, "noDevicesFound");
            verify(shown(empty));
            compare(empty.title, "No Devices Found");
            compare(empty.description, "Open this app on another computer signed in to the same Sonavert account.");
            // The way on comes first: an invitation with a code for the other computer.
            const add = find(list, "addComputerButton");
            verify(shown(add));
            compare(add.text, "Add Another Computer\u2026");
            verify(add.prominent);
            verify(!list.bridge.invite.isOpen);
            mouseClick(add);
            verify(list.bridge.invite.isOpen);
            const button = find(list, "downloadLinkButton");
            verify(button.mapToItem(list, 0, 0).y > add.mapToItem(list, 0, 0).y);
            verify(shown(button));
            compare(button.text, "Get download link via email");
            mouseClick(button);
            compare(harness.openedUrls(), 1);
            verify(harness.lastOpenedUrl().startsWith("mailto:support@sonavert.io?subject=Sonavert%20Download%20Link"), harness.lastOpenedUrl());
        }

        function test_rowsShowStatusAndAccessibility() {
            const list = make(listView, "devices");
            const studio = find(list, "deviceRow_Studio");
            verify(shown(studio));
            compare(studio.Accessible.name, "favorite, Studio, Available, playing Windowlicker by Aphex Twin");
            compare(find(studio, "statusLine").text, "Windowlicker \u2014 Aphex Twin");
            verify(shown(find(studio, "waveform")));
            verify(!find(studio, "statusDot").visible);
            verify(shown(find(studio, "pullButton")));
            verify(shown(find(studio, "pushButton")));
            verify(find(studio, "favoriteStar").visible);

            const kitchen = find(list, "deviceRow_Kitchen");
            compare(find(kitchen, "statusLine").text, "Available");
            verify(!find(kitchen, "pullButton").visible);
            compare(find(kitchen, "pushButton").Accessible.name, "Send this device's playback to Kitchen");

            const attic = find(list, "deviceRow_Attic");
            compare(find(attic, "statusLine").text, "Offline \u00b7 5m ago");
            const badge = find(attic, "queuedBadge");
            verify(shown(badge));
            compare(badge.Accessible.name, "Push queued, waiting for this device to come online");
            compare(find(attic, "pushButton").help, "Attic is offline \u2014 playback will start when it next opens");
            compare(find(attic, "pushButton").symbol, "clock.arrow.trianglehead.counterclockwise.rotate.90");

            compare(find(find(list, "deviceRow_Laptop"), "statusLine").text, "Connecting\u2026");
            compare(find(find(list, "deviceRow_Den"), "statusLine").text, "Offline \u00b7 2d ago");
        }

        function test_nothingPlayingHereMeansNoPushButtons() {
            const list = make(listView, "nothing-playing");
            for (const name of ["Studio", "Kitchen", "Laptop", "Attic", "Den"])
                verify(!find(find(list, "deviceRow_" + name), "pushButton").visible, name);
            verify(shown(find(find(list, "deviceRow_Studio"), "pullButton")));
        }

        function test_aRunningPushDisablesButtonsAndSpinsOnlyPush() {
            const list = make(listView, "transferring");
            const studio = find(list, "deviceRow_Studio");
            const push = find(studio, "pushButton");
            const pull = find(studio, "pullButton");
            verify(!push.enabled);
            verify(!pull.enabled);
            verify(push.busy);
            verify(!pull.busy);
        }

        function test_hoverButtonsFavouriteAndRemove() {
            const list = make(listView, "devices");
            const kitchen = find(list, "deviceRow_Kitchen");
            const actions = find(kitchen, "hoverActions");
            compare(actions.opacity, 0);
            mouseMove(kitchen, 60, kitchen.height / 2);
            tryCompare(actions, "opacity", 1);
            const favorite = find(kitchen, "hoverFavorite");
            compare(favorite.Accessible.name, "Favorite Kitchen");
            compare(favorite.help, "Favorite Kitchen");
            compare(find(kitchen, "hoverRemove").Accessible.name, "Remove Kitchen");
            mouseClick(favorite);
            verify(harness.isFavorite("Kitchen"));
            compare(harness.deviceCount(), 5);
            const moved = find(list, "deviceRow_Kitchen");
            mouseMove(moved, 60, moved.height / 2);
            tryCompare(find(moved, "hoverActions"), "opacity", 1);
            compare(find(moved, "hoverFavorite").help, "Remove Kitchen from favorites");
            mouseClick(find(moved, "hoverRemove"));
            compare(harness.deviceCount(), 4);
            tryVerify(() => find(list, "deviceRow_Kitchen") === null);
        }

        function test_contextMenuOffersFavouriteAndRemove() {
            const list = make(listView, "devices");
            const den = find(list, "deviceRow_Den");
            const menu = find(den, "contextMenu");
            mouseClick(den, 80, den.height / 2, Qt.RightButton);
            tryVerify(() => menu.opened);
            compare(menu.count, 2);
            compare(menu.itemAt(0).text, "Favorite Den");
            compare(menu.itemAt(1).text, "Remove Den");
            menu.itemAt(0).triggered();
            verify(harness.isFavorite("Den"));
            menu.close();
        }

        function test_swipeUncoversTheRowsActions() {
            const list = make(listView, "devices");
            const kitchen = find(list, "deviceRow_Kitchen");
            verify(!find(kitchen, "swipeActions").visible);
            mouseDrag(find(kitchen, "rowFace"), kitchen.width - 40, kitchen.height / 2, -130, 0);
            tryCompare(kitchen, "swipeOffset", -144);
            const favorite = find(kitchen, "swipeFavorite");
            verify(shown(favorite));
            compare(favorite.label, "Favorite");
            compare(find(kitchen, "swipeRemove").label, "Remove");
            mouseClick(favorite);
            verify(harness.isFavorite("Kitchen"));

            // A short drag springs back.
            const den = find(list, "deviceRow_Den");
            mouseDrag(find(den, "rowFace"), den.width - 40, den.height / 2, -40, 0);
            tryCompare(den, "swipeOffset", 0);
        }

        Component {
            id: bareList
            ListView {
                width: 360
                height: 400
                delegate: DeviceRowView {}
            }
        }

        function test_withoutForgetNoRemoveAnywhere() {
            const list = show(bareList, { model: harness.listWithoutForget() });
            const kitchen = find(list, "deviceRow_Kitchen");
            verify(kitchen);
            mouseMove(kitchen, 60, kitchen.height / 2);
            tryCompare(find(kitchen, "hoverActions"), "opacity", 1);
            verify(shown(find(kitchen, "hoverFavorite")));
            verify(!find(kitchen, "hoverRemove").visible);
            const menu = find(kitchen, "contextMenu");
            compare(menu.count, 1);
            mouseDrag(find(kitchen, "rowFace"), kitchen.width - 40, kitchen.height / 2, -130, 0);
            tryCompare(kitchen, "swipeOffset", -72);
            verify(!find(kitchen, "swipeRemove").visible);
            mouseClick(find(kitchen, "swipeFavorite"));
            compare(harness.favorited().length, 1);
        }

        function test_reducedMotionShowsTheStillWaveform() {
            const list = make(listView, "devices");
            const studio = find(list, "deviceRow_Studio");
            const heights = () => [0, 1, 2, 3].map(i => find(studio, "waveformBar" + i).height);
            harness.setShown(true);
            harness.advance(500);
            const moving = heights();
            harness.advance(70);
            verify(JSON.stringify(heights()) !== JSON.stringify(moving), "the bars move");
            verify(heights().every(h => h >= 4 && h <= 13));
            harness.setAnimations(false);
            compare(heights(), [5, 11, 8, 6]);
            harness.advance(500);
            compare(heights(), [5, 11, 8, 6]);
            harness.setShown(false);
        }
    }
}
