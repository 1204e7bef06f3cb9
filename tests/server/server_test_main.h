#pragma once

#include <QCoreApplication>
#include <QTest>

/// QTEST_GUILESS_MAIN for the server's tests.
#define SONAVERT_SERVER_TEST_MAIN(TestObject)                                                      \
    int main(int argc, char** argv) {                                                              \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
