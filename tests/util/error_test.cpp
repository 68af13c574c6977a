#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "util/error.h"

TEST(Error, FirstErrorWinsAndSecondIsDropped)
{
    Error *err = nullptr;
    error_setg(&err, "first %d", 1);
    error_set(&err, ERROR_CLASS_COMMAND_NOT_FOUND, "second");
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(error_get_message(err), "first 1");
    EXPECT_EQ(error_get_class(err), ERROR_CLASS_GENERIC_ERROR);
    EXPECT_STREQ(error_get_code_func(err), "TestBody");
    EXPECT_GT(error_get_code_line(err), 0);
    error_free(err);

    error_setg(nullptr, "nobody listens"); /* must neither crash nor leak */
}

TEST(Error, ErrnoAndPlatformCodesExtendTheMessage)
{
    Error *err = nullptr;
    errno = EAGAIN;
    error_setg_errno(&err, ENOENT, "open '%s'", "x");
    EXPECT_EQ(errno, EAGAIN) << "the caller's errno is preserved";
    EXPECT_EQ(std::string(error_get_message(err)), std::string("open 'x': ") + strerror(ENOENT));
    EXPECT_EQ(error_get_errno(err), static_cast<uint32_t>(ENOENT));
    error_free_and_clear(&err);
    EXPECT_EQ(err, nullptr);

    error_setg_win32(&err, 1060, "open service");
    EXPECT_STREQ(error_get_message(err),
                 "open service: The specified service does not exist as an installed service. (error: 424)");
    EXPECT_EQ(error_get_win32_code(err), 1060u);
    error_free(err);

    err = nullptr;
    error_setg_errno(&err, 0, "plain");
    EXPECT_STREQ(error_get_message(err), "plain");
    EXPECT_EQ(error_get_errno(err), 0u);
    error_free(err);
}

TEST(Error, PropagateMovesOnlyIntoAFreeDestination)
{
    Error *local = nullptr;
    error_setg(&local, "local");
    Error *dst = nullptr;
    EXPECT_TRUE(error_propagate(&dst, local));
    EXPECT_STREQ(error_get_message(dst), "local");

    Error *other = nullptr;
    error_setg(&other, "other");
    EXPECT_FALSE(error_propagate(&dst, other)); /* freed, dst keeps the first */
    EXPECT_STREQ(error_get_message(dst), "local");

    other = nullptr;
    error_setg(&other, "dropped");
    EXPECT_FALSE(error_propagate(nullptr, other)); /* freed: ASan reports a leak otherwise */
    EXPECT_FALSE(error_propagate(&dst, nullptr));

    Error *reuse = nullptr;
    error_setg(&reuse, "again");
    EXPECT_FALSE(error_propagate_reuse(&dst, &reuse));
    EXPECT_EQ(reuse, nullptr);

    Error *copy = error_copy(dst);
    EXPECT_STREQ(error_get_message(copy), "local");
    EXPECT_NE(error_get_message(copy), error_get_message(dst));
    error_free(copy);
    error_free(dst);
}

TEST(ErrorDeath, NullErrorLocationAndNullLocalPointerAreFatal)
{
    EXPECT_EXIT(error_get_code_file(nullptr), testing::ExitedWithCode(1), "NULL != error");
    EXPECT_EXIT(error_propagate_reuse(nullptr, nullptr), testing::ExitedWithCode(1),
                "NULL != local_error");
}
