// The fixed exception texts and the full-stop rule for showing them.
#include <gtest/gtest.h>

#include <cerrno>

#include "runtime/Exceptions.h"
#include "tests/support/NamedRows.h"

namespace mosaicer {
namespace {

TEST(Exceptions, FixedTexts) {
  EXPECT_STREQ(EInvalidGraphic::UnknownExtension("gif").what(), "Unknown picture file extension (.gif)");
  EXPECT_STREQ(EFOpenError("/a/b.jpg", ENOENT).what(), "Cannot open file \"/a/b.jpg\". No such file or directory");
  EXPECT_STREQ(EFCreateError("/a/b.jpg", EACCES).what(), "Cannot create file \"/a/b.jpg\". Permission denied");
  EXPECT_STREQ(EJPEG(53).what(), "JPEG error #53");
  EXPECT_EQ(EJPEG(53).MessageCode(), 53);
  EXPECT_STREQ(EInvalidOperation().what(), "Canvas does not allow drawing");
  EXPECT_STREQ(EInvalidOp().what(), "Invalid floating point operation");
  EXPECT_STREQ(EListError(-1).what(), "List index out of bounds (-1)");
}

// The library's explanation travels beside the message and never changes what is shown.
TEST(Exceptions, DetailIsKeptApartFromTheMessage) {
  EXPECT_EQ(Exception("plain").Detail(), "");
  const EJPEG withDetail(41, "Corrupt JPEG data");
  EXPECT_STREQ(withDetail.what(), "JPEG error #41");
  EXPECT_EQ(withDetail.Detail(), "Corrupt JPEG data");
  EXPECT_EQ(withDetail.MessageCode(), 41);
  EXPECT_EQ(EJPEG(41).Detail(), "");
  try {
    throw EJPEG(7, "why");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Detail(), "why") << "the detail survives being caught as the base class";
  }
}

TEST(Exceptions, SysErrorMessageForAnUnknownCodeStillSaysSomething) {
  EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
  EXPECT_FALSE(SysErrorMessage(999999).empty());
}

struct TDisplayCase {
  const char* Name;
  std::string Message;
  std::string Shown;
};

void PrintTo(const TDisplayCase& c, std::ostream* out) { *out << c.Name; }

class MessageForDisplayRows : public ::testing::TestWithParam<TDisplayCase> {};

TEST_P(MessageForDisplayRows, AddsAFullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(MessageForDisplay(GetParam().Message), GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(
    , MessageForDisplayRows,
    ::testing::Values(
        TDisplayCase{"AfterADigit", "JPEG error #53", "JPEG error #53."},
        TDisplayCase{"AfterAClosingBracket", "Unknown picture file extension (.gif)", "Unknown picture file extension (.gif)"},
        TDisplayCase{"AfterALetter", "No such file or directory", "No such file or directory."},
        TDisplayCase{"AfterAFullStop", "Done.", "Done."},
        TDisplayCase{"AfterAQuestionMark", "out of disk space?", "out of disk space?."},
        TDisplayCase{"AfterAHyphen", "a-", "a-"},
        TDisplayCase{"Empty", "", ""},
        // The edges of the rule: '-' sorts just before '.', '/' just after it.
        TDisplayCase{"OnlyAFullStop", ".", "."},
        TDisplayCase{"AfterASlash", "see /a/", "see /a/."},
        TDisplayCase{"AfterASpace", "trailing ", "trailing "},
        TDisplayCase{"AfterAQuote", "Cannot open file \"x\"", "Cannot open file \"x\""},
        // Bytes are compared unsigned, so a message ending in UTF-8 text gets its full stop.
        TDisplayCase{"AfterANonAsciiLetter", "caf\xC3\xA9", "caf\xC3\xA9."},
        TDisplayCase{"AfterALineEnd", "line\n", "line\n"}),
    testing::TRowName());

}  // namespace
}  // namespace mosaicer
