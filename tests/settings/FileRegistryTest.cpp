// The file-kept registry: where keys live, how values and their types are kept, and what
// damaged files, full disks and misuse of handles do.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "settings/FileRegistry.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/TestPictures.h"

namespace mosaicer {
namespace {

using testing::TConfigHome;

const char* const kKey = "Software\\Norvel\\Crumb";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(KeyFiles, PathsBelowSoftwareMapToConfFiles) {
  const struct {
    const char* Path;
    std::int32_t Code;
    const char* File;
  } rows[] = {
      {"Software\\Norvel\\Crumb", kErrorSuccess, "/h/Norvel/Crumb.conf"},
      {"software\\Norvel\\Crumb", kErrorSuccess, "/h/Norvel/Crumb.conf"},
      {"Software\\Norvel", kErrorSuccess, "/h/Norvel.conf"},
      {"Software\\A\\B\\C", kErrorSuccess, "/h/A/B/C.conf"},
      {"Software", kErrorBadKey, ""},
      {"", kErrorBadKey, ""},
      {"Norvel\\Crumb", kErrorBadKey, ""},
      {"Software\\Norvel\\", kErrorBadKey, ""},
      {"\\Software\\Norvel", kErrorBadKey, ""},
      {"Software\\\\Crumb", kErrorBadKey, ""},
      {"Software\\..\\Crumb", kErrorBadKey, ""},
      {"Software\\.", kErrorBadKey, ""},
      {"Software\\a/b", kErrorBadKey, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Path);
    std::string file = "stale";
    EXPECT_EQ(TFileRegistry::KeyFileOf("/h", row.Path, file), row.Code);
    EXPECT_EQ(file, row.File);
  }
  std::string file;
  EXPECT_EQ(TFileRegistry::KeyFileOf("", kKey, file), kErrorPathNotFound);
}

TEST(KeyFiles, ConfigHomeFollowsXdgThenHome) {
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", "/home/someone", 1);
  {
    const TConfigHome xdg(std::string("/elsewhere/config"));
    EXPECT_EQ(UserConfigHome(), "/elsewhere/config");
  }
  {
    // A relative XDG_CONFIG_HOME is not to be used.
    const TConfigHome relative(std::string("relative/config"));
    EXPECT_EQ(UserConfigHome(), "/home/someone/.config");
  }
  {
    const TConfigHome empty(std::string(""));
    EXPECT_EQ(UserConfigHome(), "/home/someone/.config");
  }
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
}

class FileRegistry : public ::testing::Test {
protected:
  std::string KeyFile() const { return FHome.Path() + "/Norvel/Crumb.conf"; }
  TRegKey Open(std::uint32_t access) {
    TRegKey key = kNoKey;
    EXPECT_EQ(FFiles.CreateKey(kHKeyCurrentUser, kKey, access, key), kErrorSuccess);
    return key;
  }
  std::int32_t Set(TRegKey key, const std::string& name, const std::string& bytes, std::uint32_t type = kRegBinary) {
    return FFiles.SetValue(key, name, type, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::uint32_t>(bytes.size()));
  }
  // The value's type and bytes, or the failure code as type 0xDEAD with the code as text.
  std::pair<std::uint32_t, std::string> Get(const std::string& name) {
    TRegKey key = kNoKey;
    const std::int32_t opened = FFiles.OpenKey(kHKeyCurrentUser, kKey, kKeyRead, key);
    if (opened != kErrorSuccess) return {0xDEAD, std::to_string(opened)};
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::int32_t result = FFiles.QueryValue(key, name, &type, nullptr, &size);
    std::string bytes(size, '\0');
    if (result == kErrorSuccess)
      result = FFiles.QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(bytes.data()), &size);
    FFiles.CloseKey(key);
    if (result != kErrorSuccess) return {0xDEAD, std::to_string(result)};
    return {type, bytes};
  }

  TConfigHome FHome;
  TFileRegistry FFiles;
};

TEST_F(FileRegistry, KeysExistAsFilesOrAsFoldersOfSubkeys) {
  TRegKey key = kNoKey;
  EXPECT_EQ(FFiles.OpenKey(kHKeyCurrentUser, kKey, kKeyRead, key), kErrorFileNotFound);
  EXPECT_EQ(key, kNoKey);
  const TRegKey created = Open(kKeyWrite);
  EXPECT_EQ(ReadText(KeyFile()), "");
  EXPECT_EQ(FFiles.CloseKey(created), kErrorSuccess);

  // The parent exists as the folder; it has no values until one is written.
  EXPECT_EQ(FFiles.OpenKey(kHKeyCurrentUser, "Software\\Norvel", kKeyRead | kKeyWrite, key), kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(FFiles.QueryValue(key, "A", &type, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(Set(key, "A", "1"), kErrorSuccess);
  EXPECT_EQ(FFiles.QueryValue(key, "A", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(FFiles.CloseKey(key), kErrorSuccess);
  EXPECT_TRUE(std::filesystem::is_regular_file(FHome.Path() + "/Norvel.conf"));

  // Creating an existing key keeps its values.
  const TRegKey writer = Open(kKeyWrite);
  EXPECT_EQ(Set(writer, "LastPrefix", "p/"), kErrorSuccess);
  FFiles.CloseKey(writer);
  FFiles.CloseKey(Open(kKeyWrite));
  EXPECT_EQ(Get("LastPrefix").second, "p/");
}

TEST_F(FileRegistry, HandlesCheckTheirAccessAndTheirValidity) {
  const TRegKey reader = Open(kKeyRead);
  const TRegKey writer = Open(kKeyWrite);
  EXPECT_NE(reader, writer);
  EXPECT_EQ(Set(reader, "A", "x"), kErrorAccessDenied);
  EXPECT_EQ(Set(writer, "A", "x"), kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(FFiles.QueryValue(writer, "A", &type, nullptr, &size), kErrorAccessDenied);
  EXPECT_EQ(FFiles.OpenKeyCount(), 2u);
  EXPECT_EQ(FFiles.CloseKey(reader), kErrorSuccess);
  EXPECT_EQ(FFiles.CloseKey(reader), kErrorInvalidHandle);
  EXPECT_EQ(FFiles.QueryValue(reader, "A", &type, nullptr, &size), kErrorInvalidHandle);
  EXPECT_EQ(Set(kNoKey, "A", "x"), kErrorInvalidHandle);
  EXPECT_EQ(Set(writer, "A", "x", 4 /* a 32-bit number type */), kErrorInvalidParameter);
  FFiles.CloseKey(writer);
  EXPECT_EQ(FFiles.OpenKeyCount(), 0u);

  TRegKey key = kNoKey;
  EXPECT_EQ(FFiles.OpenKey(0x80000002, kKey, kKeyRead, key), kErrorInvalidHandle);
  EXPECT_EQ(FFiles.CreateKey(kHKeyCurrentUser, "Norvel\\Crumb", kKeyWrite, key), kErrorBadKey);
  EXPECT_EQ(key, kNoKey);
}

TEST_F(FileRegistry, QueryReportsSizesAndShortBuffers) {
  const TRegKey writer = Open(kKeyWrite);
  ASSERT_EQ(Set(writer, "A", "12345"), kErrorSuccess);
  FFiles.CloseKey(writer);
  const TRegKey reader = Open(kKeyRead);
  std::uint32_t type = 0;
  std::uint32_t size = 3;
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(FFiles.QueryValue(reader, "A", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buffer[0], 0) << "nothing copied into a short buffer";
  size = 8;
  EXPECT_EQ(FFiles.QueryValue(reader, "A", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "12345");
  EXPECT_EQ(FFiles.QueryValue(reader, "A", nullptr, buffer, nullptr), kErrorInvalidParameter);
  FFiles.CloseKey(reader);
}

TEST_F(FileRegistry, TypesAreKeptAsWhatTheyAre) {
  const TRegKey writer = Open(kKeyWrite);
  EXPECT_EQ(Set(writer, "Bin", std::string("a\0b", 3)), kErrorSuccess);
  EXPECT_EQ(Set(writer, "Text", std::string("b\xC3\xA4r\0", 5), kRegSz), kErrorSuccess);
  EXPECT_EQ(Set(writer, "List", std::string("one\0two\0\0", 9), kRegMultiSz), kErrorSuccess);
  FFiles.CloseKey(writer);
  EXPECT_EQ(Get("Bin"), std::make_pair(kRegBinary, std::string("a\0b", 3)));
  EXPECT_EQ(Get("Text"), std::make_pair(kRegSz, std::string("b\xC3\xA4r\0", 5)));
  EXPECT_EQ(Get("List"), std::make_pair(kRegMultiSz, std::string("one\0two\0\0", 9)));
  const std::string text = ReadText(KeyFile());
  EXPECT_NE(text.find("Text=b\xC3\xA4r"), std::string::npos) << text;
}

TEST_F(FileRegistry, HandWrittenFileIsRead) {
  WriteText(KeyFile(),
            "; written by hand\n[General]\nLastPrefix=images/\nLastNumOfChunks=@ByteArray(\\0\\0\\0\\x10)\n"
            "[Other]\nLastPrefix=@ByteArray(not this one)\n");
  EXPECT_EQ(Get("LastPrefix"), std::make_pair(kRegSz, std::string("images/\0", 8)));
  EXPECT_EQ(Get("LastNumOfChunks"), std::make_pair(kRegBinary, std::string("\0\0\0\x10", 4)));
  // A write keeps what it does not change, other sections included.
  const TRegKey writer = Open(kKeyWrite);
  EXPECT_EQ(Set(writer, "LastDestFolder", "/out"), kErrorSuccess);
  FFiles.CloseKey(writer);
  EXPECT_EQ(Get("LastPrefix").first, kRegSz);
  EXPECT_EQ(Get("LastDestFolder").second, "/out");
  EXPECT_NE(ReadText(KeyFile()).find("[Other]"), std::string::npos);
}

TEST_F(FileRegistry, DamagedOrForeignFilesReadAsNoValues) {
  const std::vector<std::uint8_t> jpeg = testing::EncodeJPEG(testing::PhotoLike(32, 24));
  const struct {
    const char* Name;
    std::string Content;
  } rows[] = {
      {"truncated section", "[General\nLastPrefix=@ByteArray(x)\n"},
      {"zero bytes", std::string(64, '\0')},
      {"a picture", std::string(jpeg.begin(), jpeg.end())},
      {"unterminated byte array", "[General]\nLastPrefix=@ByteArray(x\n"},
      {"foreign value kinds", "[General]\nLastPrefix=@Rect(1 2 3 4)\nLastNumOfChunks=@Variant(\\0\\0\\0\\x7f)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    WriteText(KeyFile(), row.Content);
    const auto prefix = Get("LastPrefix");
    EXPECT_TRUE(prefix.first == 0xDEAD || prefix.second != "x") << prefix.first << " " << prefix.second;
    EXPECT_NE(Get("LastNumOfChunks").first, kRegBinary);
    // Writing makes the file sound again.
    const TRegKey writer = Open(kKeyWrite);
    EXPECT_EQ(Set(writer, "LastNumOfChunks", std::string("\0\0\0\x20", 4)), kErrorSuccess);
    FFiles.CloseKey(writer);
    EXPECT_EQ(Get("LastNumOfChunks"), std::make_pair(kRegBinary, std::string("\0\0\0\x20", 4)));
  }
  // A file far too large to be ours (sparse, so cheap to make).
  std::filesystem::resize_file(KeyFile(), 64 << 20);
  EXPECT_EQ(Get("LastNumOfChunks"), std::make_pair(0xDEADu, std::string("2")));
  const TRegKey replacer = Open(kKeyWrite);
  EXPECT_EQ(Set(replacer, "A", "x"), kErrorSuccess);
  FFiles.CloseKey(replacer);
  EXPECT_LT(std::filesystem::file_size(KeyFile()), 100u);
  EXPECT_EQ(Get("A").second, "x");

  // A folder where the file should be: no values, and writes fail without harm.
  std::filesystem::remove(KeyFile());
  std::filesystem::create_directories(KeyFile());
  EXPECT_EQ(Get("LastNumOfChunks"), std::make_pair(0xDEADu, std::string("2")));
  const TRegKey writer = Open(kKeyWrite);
  EXPECT_EQ(Set(writer, "A", "x"), kErrorAccessDenied);
  FFiles.CloseKey(writer);
}

// Fails writes of the new file half way, as a full disk does.
class TFullDiskRegistry : public TFileRegistry {
public:
  bool Full = false;

protected:
  int WriteAll(int fd, const char* data, std::size_t size) override {
    if (!Full) return TFileRegistry::WriteAll(fd, data, size);
    TFileRegistry::WriteAll(fd, data, size / 2);
    return ENOSPC;
  }
};

TEST(FileRegistryFaults, FullDiskLeavesTheOldFileWhole) {
  const TConfigHome home;
  TFullDiskRegistry files;
  TRegKey key = kNoKey;
  ASSERT_EQ(files.CreateKey(kHKeyCurrentUser, kKey, kKeyRead | kKeyWrite, key), kErrorSuccess);
  const std::string old(300, 'o');
  ASSERT_EQ(files.SetValue(key, "A", kRegBinary, reinterpret_cast<const std::uint8_t*>(old.data()), 300),
            kErrorSuccess);
  const std::string file = home.Path() + "/Norvel/Crumb.conf";
  const std::string before = ReadText(file);

  files.Full = true;
  const std::string fresh(600, 'n');
  EXPECT_EQ(files.SetValue(key, "A", kRegBinary, reinterpret_cast<const std::uint8_t*>(fresh.data()), 600),
            kErrorDiskFull);
  EXPECT_EQ(ReadText(file), before);
  EXPECT_EQ(FolderEntries(home.Path() + "/Norvel"), std::vector<std::string>{"Crumb.conf"});
  std::uint32_t size = 0;
  EXPECT_EQ(files.QueryValue(key, "A", nullptr, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, 300u);
  files.CloseKey(key);
}

}  // namespace
}  // namespace mosaicer
