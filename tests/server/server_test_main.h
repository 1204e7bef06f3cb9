#pragma once

#include "server/http/epoll_event_dispatcher.h"

#include <QCoreApplication>
#include <QTest>

/// QTEST_GUILESS_MAIN on the event loop the server runs on in production, so the server's
/// tests exercise it too.
#define SONAVERT_SERVER_TEST_MAIN(TestObject)                                                      \
    int main(int argc, char** argv) {                                                              \
        sonavert::cloud::installServerEventDispatcher();                                           \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
