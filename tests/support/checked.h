#pragma once

// QVERIFY, QCOMPARE and QFAIL return from the function they are written in: inside a helper
// they end only the helper, and the test would go on after the failure. So every call of a
// helper that checks goes through CHECKED, which ends the calling test once it has failed.
// (A helper never skips: QSKIP would end only the helper too; the test itself decides that.)

#include <QTest>

#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
