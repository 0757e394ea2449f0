// ErrorHandlerWin apart from its "Assert" box: the cases that need no
// scripted answers (those are in ErrorHandlerLinuxTest.cpp).
#include <gtest/gtest.h>

#include "services/ErrorHandlerWin.h"

using SornData::ErrorHandlerWin;

TEST(ErrorHandler, LogErrorIgnoresItsArguments) {
    ErrorHandlerWin handler;
    handler.LogError(nullptr, nullptr, nullptr, nullptr);
    SornStringA text("kept");
    handler.LogError(&text, &text, nullptr, &text);
    EXPECT_STREQ(text.ToChars(), "kept");
}
