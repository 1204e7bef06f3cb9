#include "src/ui/device_list_model.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using sonavert::test::device;

namespace {

DeviceList twoDevices() {
    return {device(u"B1"_s, u"Den"_s, DevicePresence::Online),
            device(u"B2"_s, u"Kitchen"_s, DevicePresence::Offline)};
}

DeviceRowContext context(bool discovering = false) {
    DeviceRowContext c;
    c.canPush = true;
    c.isDiscovering = discovering;
    c.now = Timestamp{1000.0 + 120.0};
    return c;
}

QVariant role(const DeviceListModel& model, int row, const QByteArray& name) {
    return model.data(model.index(row), model.roleNames().key(name));
}

} // namespace

class DeviceListModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyListSearchesWhileDiscoveringThenFindsNothing() {
        DeviceListModel model({});
        QSignalSpy changed(&model, &DeviceListModel::listStateChanged);
        model.update({}, context(true));
        QCOMPARE(model.listState(), DeviceListModel::ListState::Searching);
        model.update({}, context(false));
        QCOMPARE(model.listState(), DeviceListModel::ListState::NothingFound);
        model.update(twoDevices(), context(true));
        QCOMPARE(model.listState(), DeviceListModel::ListState::Rows);
        QCOMPARE(changed.count(), 3);
    }

    void rowsExposeWhatTheRowViewShows() {
        DeviceListModel model({});
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.update(twoDevices(), context());
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(role(model, 0, "name").toString(), u"Den"_s);
        QCOMPARE(role(model, 0, "statusText").toString(), u"Available"_s);
        QCOMPARE(role(model, 0, "dotKind").toString(), u"green"_s);
        QCOMPARE(role(model, 1, "statusText").toString(), u"Offline \u00b7 2m ago"_s);
        QCOMPARE(role(model, 1, "dotKind").toString(), u"grey"_s);
        QCOMPARE(role(model, 1, "isNameDimmed").toBool(), true);
        QCOMPARE(role(model, 1, "showsPush").toBool(), true);
        QCOMPARE(role(model, 0, "list").value<DeviceListModel*>(), &model);
    }

    void sameDevicesInPlaceAreUpdatedNotRebuilt() {
        DeviceListModel model({});
        model.update(twoDevices(), context());
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        DeviceList later = twoDevices();
        later[1].presence = DevicePresence::Online;
        model.update(later, context());
        QCOMPARE(reset.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(role(model, 1, "statusText").toString(), u"Available"_s);
        // Another order is another list.
        model.update({later[1], later[0]}, context());
        QCOMPARE(reset.count(), 1);
        QCOMPARE(role(model, 0, "name").toString(), u"Kitchen"_s);
    }

    void actionsReachTheirCallbacksWithTheDeviceId() {
        QStringList calls;
        DeviceListModel::Actions actions;
        actions.onTransfer = [&](const QString& id) { calls << "push " + id; };
        actions.onPull = [&](const QString& id) { calls << "pull " + id; };
        actions.onFavorite = [&](const QString& id) { calls << "favorite " + id; };
        actions.onForget = [&](const QString& id) { calls << "forget " + id; };
        DeviceListModel model(actions);
        model.update(twoDevices(), context());
        QVERIFY(model.canRemove());
        QCOMPARE(role(model, 0, "removeText").toString(), u"Remove Den"_s);
        model.transfer(u"B1"_s);
        model.pull(u"B2"_s);
        model.toggleFavorite(u"B1"_s);
        model.forget(u"B2"_s);
        QCOMPARE(calls, (QStringList{"push B1", "pull B2", "favorite B1", "forget B2"}));
    }

    void withoutAForgetActionNoRowOffersRemove() {
        DeviceListModel::Actions actions;
        actions.onFavorite = [](const QString&) {};
        DeviceListModel model(actions);
        model.update(twoDevices(), context());
        QVERIFY(!model.canRemove());
        QCOMPARE(role(model, 0, "canRemove").toBool(), false);
        QCOMPARE(role(model, 0, "removeText").toString(), QString());
        model.forget(u"B1"_s); // nothing to call, nothing breaks
    }

    void waveformHeightsAnnounceOnlyRealChanges() {
        DeviceListModel model({});
        QSignalSpy changed(&model, &DeviceListModel::waveformHeightsChanged);
        model.setWaveformHeights({5, 11, 8, 6});
        model.setWaveformHeights({5, 11, 8, 6});
        QCOMPARE(changed.count(), 1);
    }
};

QTEST_GUILESS_MAIN(DeviceListModelTest)
#include "device_list_model_test.moc"
