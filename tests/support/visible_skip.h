#pragma once

// Qt Test ends with 0 when a case skips, so ctest counts a skip as a pass. A
// test whose skip means "not checked here" skips with VELTRANE_SKIP and ends
// through VELTRANE_TEST_MAIN: when nothing failed but something was skipped
// it ends with kSkipExitCode, which veltrane_add_test gives ctest as the
// SKIP_RETURN_CODE, so the run shows the test as skipped.

#include <QTest>

namespace veltrane::testing {

// Above the failure counts that QTest::qExec returns (at most 127).
inline constexpr int kSkipExitCode = 200;

inline bool gSkipped = false;

inline int WithVisibleSkips(int failures)
{
    return failures == 0 && gSkipped ? kSkipExitCode : failures;
}

} // namespace veltrane::testing

#define VELTRANE_SKIP(message)                                                                     \
    do {                                                                                           \
        ::veltrane::testing::gSkipped = true;                                                      \
        QSKIP(message);                                                                            \
    } while (false)

// QTEST_MAIN with the ending above; the application as QTEST_MAIN makes it.
#define VELTRANE_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        QTEST_MAIN_SETUP()                                                                         \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return ::veltrane::testing::WithVisibleSkips(QTest::qExec(&tc, argc, argv));               \
    }

// QTEST_GUILESS_MAIN with the ending above.
#define VELTRANE_GUILESS_TEST_MAIN(TestObject)                                                     \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        QTEST_QAPP_SETUP(QCoreApplication)                                                         \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return ::veltrane::testing::WithVisibleSkips(QTest::qExec(&tc, argc, argv));               \
    }
