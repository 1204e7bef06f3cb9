// The SQL session: statements kept prepared are reused without disturbing rows still being
// read, and a connection that went away is opened again for the next statement.
#include "server/storage/sql_session.h"
#include "tests/server/server_test_main.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

using namespace sonavert::cloud;
using namespace Qt::StringLiterals;

class SqlSessionTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    const QString kConnection = u"sql-session-test"_s;

    std::unique_ptr<SqlSession> openSession(bool keepsPreparedStatements) {
        auto db = QSqlDatabase::addDatabase(u"QSQLITE"_s, kConnection);
        db.setDatabaseName(m_dir.filePath(u"session.sqlite"_s));
        if (!db.open())
            return nullptr;
        return std::make_unique<SqlSession>(db, u"BEGIN IMMEDIATE"_s, keepsPreparedStatements);
    }

private Q_SLOTS:
    void cleanup() { QSqlDatabase::removeDatabase(kConnection); }

    void aKeptStatementIsNotRunAgainUnderRowsStillBeingRead() {
        auto session = openSession(true);
        QVERIFY(session);
        const QString pair = u"SELECT ? UNION ALL SELECT ?"_s;
        auto outer = session->run(pair, {1, 2});
        QVERIFY(outer.ok());
        QVERIFY(outer.value().next());
        QCOMPARE(outer.value().value(0).toInt(), 1);
        auto inner = session->run(pair, {3, 4});
        QVERIFY(inner.ok());
        QVERIFY(inner.value().next());
        QCOMPARE(inner.value().value(0).toInt(), 3);
        QVERIFY(outer.value().next());
        QCOMPARE(outer.value().value(0).toInt(), 2);
        session->close();
    }

    void aKeptStatementTakesNewBindsEachRun() {
        auto session = openSession(true);
        QVERIFY(session);
        for (int i = 1; i <= 3; ++i) {
            auto value = session->scalar(u"SELECT ? * 10"_s, {i});
            QVERIFY(value.ok() && value.value());
            QCOMPARE(value.value()->toInt(), i * 10);
        }
        session->close();
    }

    void aLostConnectionIsReopenedAndTheStatementRunsOnce() {
        auto session = openSession(true);
        QVERIFY(session);
        QVERIFY(session->run(u"CREATE TABLE t (n INTEGER)"_s).ok());
        QVERIFY(session->scalar(u"SELECT COUNT(*) FROM t WHERE n = ?"_s, {1}).ok());
        // Gone behind the session's back, as after a database server restart.
        session->database().close();
        QVERIFY(session->run(u"INSERT INTO t (n) VALUES (?)"_s, {1}).ok());
        const auto count = session->scalar(u"SELECT COUNT(*) FROM t WHERE n = ?"_s, {1});
        QVERIFY(count.ok() && count.value());
        QCOMPARE(count.value()->toInt(), 1);
        session->close();
    }

    void insideATransactionALostConnectionFailsTheStatement() {
        auto session = openSession(false);
        QVERIFY(session);
        QVERIFY(session->run(u"CREATE TABLE v (n INTEGER)"_s).ok());
        QVERIFY(session->begin().ok());
        session->database().close();
        // Running it again on a new connection would leave the first half of the transaction
        // behind: the caller has to start over.
        QVERIFY(!session->run(u"INSERT INTO v (n) VALUES (?)"_s, {1}).ok());
        session->rollback();
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO v (n) VALUES (?)"_s, {1}).ok());
        QVERIFY(session->commit().ok());
        session->close();
    }

    // Several calls share one outer transaction (one commit for all); each call's own
    // transaction nests as a savepoint that can be undone alone.
    void aNestedTransactionIsUndoneAloneAndOnlyTheOutermostCommitStores() {
        auto session = openSession(true);
        QVERIFY(session);
        QVERIFY(session->run(u"CREATE TABLE nested (v INTEGER)"_s).ok());
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {1}).ok());
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {2}).ok());
        session->rollback();
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {3}).ok());
        QVERIFY(session->commit().ok());
        QCOMPARE(session->transactionDepth(), 1);
        session->rollback();
        QCOMPARE(session->transactionDepth(), 0);
        auto none = session->scalar(u"SELECT COUNT(*) FROM nested"_s);
        QVERIFY(none.ok() && none.value());
        QCOMPARE(none.value()->toInt(), 0);

        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {1}).ok());
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {2}).ok());
        session->rollback();
        QVERIFY(session->begin().ok());
        QVERIFY(session->run(u"INSERT INTO nested VALUES (?)"_s, {3}).ok());
        QVERIFY(session->commit().ok());
        QVERIFY(session->commit().ok());
        auto kept = session->run(u"SELECT v FROM nested ORDER BY v"_s, {});
        QVERIFY(kept.ok());
        QList<int> values;
        while (kept.value().next())
            values << kept.value().value(0).toInt();
        QCOMPARE(values, (QList<int>{1, 3}));
        session->close();
    }

    void aCommitWithoutATransactionFailsInsteadOfCommittingSomethingElse() {
        auto session = openSession(true);
        QVERIFY(session);
        QVERIFY(!session->commit().ok());
        QCOMPARE(session->transactionDepth(), 0);
        session->close();
    }
};

SONAVERT_SERVER_TEST_MAIN(SqlSessionTest)
#include "sql_session_test.moc"
