// The SQL session: statements kept prepared are reused without disturbing rows still being
// read, and a connection that went away is opened again for the next statement.
#include "server/storage/sql_session.h"
#include "tests/support/checked.h"

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
    std::unique_ptr<SqlSession> m_session;

    void open(bool keepsPreparedStatements) {
        closeSession();
        auto db = QSqlDatabase::addDatabase(u"QSQLITE"_s, kConnection);
        db.setDatabaseName(m_dir.filePath(u"session.sqlite"_s));
        QVERIFY(db.open());
        m_session = std::make_unique<SqlSession>(db, u"BEGIN IMMEDIATE"_s, keepsPreparedStatements);
    }
    void closeSession() {
        if (m_session)
            m_session->close();
        m_session.reset();
        QSqlDatabase::removeDatabase(kConnection);
    }

private Q_SLOTS:
    void init() { open(true); }

    void cleanup() { closeSession(); }

    void aKeptStatementIsNotRunAgainUnderRowsStillBeingRead() {
        const QString pair = u"SELECT ? UNION ALL SELECT ?"_s;
        auto outer = m_session->run(pair, {1, 2});
        QVERIFY(outer.ok());
        QVERIFY(outer.value().next());
        QCOMPARE(outer.value().value(0).toInt(), 1);
        auto inner = m_session->run(pair, {3, 4});
        QVERIFY(inner.ok());
        QVERIFY(inner.value().next());
        QCOMPARE(inner.value().value(0).toInt(), 3);
        QVERIFY(outer.value().next());
        QCOMPARE(outer.value().value(0).toInt(), 2);
    }

    void aKeptStatementTakesNewBindsEachRun() {
        for (int i = 1; i <= 3; ++i) {
            auto value = m_session->scalar(u"SELECT ? * 10"_s, {i});
            QVERIFY(value.ok() && value.value());
            QCOMPARE(value.value()->toInt(), i * 10);
        }
    }

    void aLostConnectionIsReopenedAndTheStatementRunsOnce() {
        QVERIFY(m_session->run(u"CREATE TABLE t (n INTEGER)"_s).ok());
        QVERIFY(m_session->scalar(u"SELECT COUNT(*) FROM t WHERE n = ?"_s, {1}).ok());
        // Gone behind the session's back, as after a database server restart.
        m_session->database().close();
        QVERIFY(m_session->run(u"INSERT INTO t (n) VALUES (?)"_s, {1}).ok());
        const auto count = m_session->scalar(u"SELECT COUNT(*) FROM t WHERE n = ?"_s, {1});
        QVERIFY(count.ok() && count.value());
        QCOMPARE(count.value()->toInt(), 1);
    }

    void insideATransactionALostConnectionFailsTheStatement() {
        CHECKED(open(false));
        QVERIFY(m_session->run(u"CREATE TABLE v (n INTEGER)"_s).ok());
        QVERIFY(m_session->begin().ok());
        m_session->database().close();
        // Running it again on a new connection would leave the first half of the transaction
        // behind: the caller has to start over.
        QVERIFY(!m_session->run(u"INSERT INTO v (n) VALUES (?)"_s, {1}).ok());
        m_session->rollback();
        QVERIFY(m_session->begin().ok());
        QVERIFY(m_session->run(u"INSERT INTO v (n) VALUES (?)"_s, {1}).ok());
        QVERIFY(m_session->commit().ok());
    }

    // Several calls share one outer transaction (one commit for all); each call's own
    // transaction nests as a savepoint that can be undone alone.
    void aNestedTransactionIsUndoneAloneAndOnlyTheOutermostCommitStores() {
        QVERIFY(m_session->run(u"CREATE TABLE nested (v INTEGER)"_s).ok());
        // 1 in the outer transaction, 2 in a nested one undone, 3 in a nested one committed.
        const auto writeThree = [this] {
            for (int v = 1; v <= 3; ++v) {
                QVERIFY(m_session->begin().ok());
                QVERIFY(m_session->run(u"INSERT INTO nested VALUES (?)"_s, {v}).ok());
                if (v == 2)
                    m_session->rollback();
                if (v == 3)
                    QVERIFY(m_session->commit().ok());
            }
        };
        CHECKED(writeThree());
        QCOMPARE(m_session->transactionDepth(), 1);
        m_session->rollback();
        QCOMPARE(m_session->transactionDepth(), 0);
        auto none = m_session->scalar(u"SELECT COUNT(*) FROM nested"_s);
        QVERIFY(none.ok() && none.value());
        QCOMPARE(none.value()->toInt(), 0);

        CHECKED(writeThree());
        QVERIFY(m_session->commit().ok());
        auto kept = m_session->run(u"SELECT v FROM nested ORDER BY v"_s, {});
        QVERIFY(kept.ok());
        QList<int> values;
        while (kept.value().next())
            values << kept.value().value(0).toInt();
        QCOMPARE(values, (QList<int>{1, 3}));
    }

    void aCommitWithoutATransactionFailsInsteadOfCommittingSomethingElse() {
        QVERIFY(!m_session->commit().ok());
        QCOMPARE(m_session->transactionDepth(), 0);
    }
};

QTEST_GUILESS_MAIN(SqlSessionTest)
#include "sql_session_test.moc"
