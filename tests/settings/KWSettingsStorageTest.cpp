// The settings store: value encoding, the silent-by-default rule, its messages, and who opens
// and closes keys; over the file-kept registry in a temporary configuration folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "settings/FileRegistry.h"
#include "settings/KWSettingsStorage.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/ExpectThrow.h"

namespace mosaicer {
namespace {

using testing::TConfigHome;
using testing::TRecordingRegistry;

const char* const kKey = "Software\\Norvel\\Crumb";

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (const int v : values) text += static_cast<char>(v);
  return text;
}

// An independent plain encoding to check the store's against.
std::string PlainBigEndian(std::int64_t value) {
  const auto u = static_cast<std::uint64_t>(value) & 0xFFFFFFFFu;
  return Bytes({static_cast<int>(u / 16777216 % 256), static_cast<int>(u / 65536 % 256),
                static_cast<int>(u / 256 % 256), static_cast<int>(u % 256)});
}

TEST(BinaryString, IntegersAsFourBytesMostSignificantFirst) {
  const struct {
    const char* Name;
    std::int32_t Value;
  } rows[] = {{"zero", 0},           {"sixteen", 16},          {"minus one", -1},
              {"max", INT_MAX},      {"min", INT_MIN},         {"mixed", 0x12345678},
              {"high bytes", -2023406815 /* 0x87654321 */}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string text = IntToBinaryString(row.Value);
    EXPECT_EQ(text, PlainBigEndian(row.Value));
    EXPECT_EQ(BinaryStringToInt(text, 99), row.Value);
  }
  EXPECT_EQ(IntToBinaryString(16), Bytes({0, 0, 0, 0x10}));
  EXPECT_EQ(IntToBinaryString(-1), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BinaryString, OnlyExactlyFourBytesAreAnInteger) {
  EXPECT_EQ(BinaryStringToInt("", 7), 7);
  EXPECT_EQ(BinaryStringToInt(Bytes({0, 0, 1}), 7), 7);
  EXPECT_EQ(BinaryStringToInt(Bytes({0, 0, 0, 1, 0}), 7), 7);
  EXPECT_EQ(BinaryStringToInt(Bytes({0x80, 0, 0, 0}), 7), INT_MIN);
}

TEST(NullStore, DropsWritesAndGivesDefaultsEvenWhenRaising) {
  TKWSettingsStorage store;
  EXPECT_FALSE(store.RaiseErrors());
  store.SetRaiseErrors(true);
  store.WriteString("A", "x");
  store.WriteInteger("B", 5);
  EXPECT_EQ(store.ReadString("A", "default"), "default");
  EXPECT_EQ(store.ReadInteger("B", 42), 42);
}

class RegistryStore : public ::testing::Test {
protected:
  std::string KeyFile() const { return FHome.Path() + "/Norvel/Crumb.conf"; }
  TKWRegistrySettingsStorage& Store() {
    FStore.SetKeyPath(kKey);
    return FStore;
  }
  std::string FileText() const {
    std::ifstream in(KeyFile(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  TConfigHome FHome;
  TFileRegistry FFiles;
  TRecordingRegistry FRegistry{FFiles};
  TKWRegistrySettingsStorage FStore{FRegistry};
};

TEST_F(RegistryStore, MissingKeyGivesDefaultsSilentlyAndCreatesNothing) {
  auto& store = Store();
  EXPECT_FALSE(store.RaiseErrors());
  EXPECT_EQ(store.RootKey(), kHKeyCurrentUser);
  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "images/");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 16), 16);
  store.OpenForRead();
  EXPECT_EQ(store.ReadKey(), kNoKey);
  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "images/");
  store.CloseRead();
  EXPECT_FALSE(std::filesystem::exists(FHome.Path() + "/Norvel"));
  EXPECT_EQ(FRegistry.OpenHandles, 0);
}

TEST_F(RegistryStore, OpenForWriteCreatesTheKeyWithItsParents) {
  auto& store = Store();
  store.SetRaiseErrors(true);
  store.OpenForWrite();
  EXPECT_NE(store.WriteKey(), kNoKey);
  EXPECT_TRUE(std::filesystem::is_regular_file(KeyFile()));
  store.WriteString("LastPrefix", "pics/");
  store.WriteInteger("LastNumOfChunks", 64);
  store.CloseWrite();
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_EQ((std::vector<std::string>{"OpenKey", "CreateKey", "SetValue", "SetValue", "CloseKey"}), FRegistry.Calls);

  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "pics/");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 16), 64);
  // A person can find and read the file.
  EXPECT_NE(FileText().find("LastPrefix=@ByteArray(pics/)"), std::string::npos) << FileText();
}

TEST_F(RegistryStore, ExistingKeyIsOpenedNotCreated) {
  auto& store = Store();
  store.WriteString("A", "1");
  FRegistry.Calls.clear();
  store.WriteString("B", "2");
  EXPECT_EQ((std::vector<std::string>{"OpenKey", "SetValue", "CloseKey"}), FRegistry.Calls);
  EXPECT_EQ(store.ReadString("A", ""), "1");
}

TEST_F(RegistryStore, EmptyTextIsAValueNotTheDefault) {
  auto& store = Store();
  store.WriteString("LastPrefix", "");
  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "");
  EXPECT_EQ(store.ReadInteger("LastPrefix", 16), 16);
}

TEST_F(RegistryStore, IntegersAreStoredAsTheirFourBytes) {
  auto& store = Store();
  store.WriteInteger("Sixteen", 16);
  store.WriteInteger("MinusOne", -1);
  EXPECT_EQ(store.ReadString("Sixteen", "?"), Bytes({0, 0, 0, 0x10}));
  EXPECT_EQ(store.ReadString("MinusOne", "?"), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(store.ReadInteger("Sixteen", 0), 16);
  EXPECT_EQ(store.ReadInteger("MinusOne", 0), -1);

  // The bytes stand as a binary value of exactly 4 bytes.
  TRegKey key = kNoKey;
  ASSERT_EQ(FFiles.OpenKey(kHKeyCurrentUser, kKey, kKeyRead, key), kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(FFiles.QueryValue(key, "MinusOne", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 4u);
  FFiles.CloseKey(key);
}

TEST_F(RegistryStore, ThreeOrFiveBytesAreNotAnInteger) {
  auto& store = Store();
  store.WriteString("Three", Bytes({0, 0, 1}));
  store.WriteString("Five", Bytes({0, 0, 0, 1, 0}));
  EXPECT_EQ(store.ReadInteger("Three", 16), 16);
  EXPECT_EQ(store.ReadInteger("Five", 16), 16);
}

TEST_F(RegistryStore, EveryByteComesBackAsItWent) {
  auto& store = Store();
  std::string all;
  for (int b = 255; b >= 0; --b) all += static_cast<char>(b);
  const std::string folder = "C:\\Bilder\\\xC4rger \xFF\x80/\n=;#[x]\"@ByteArray(";
  store.WriteString("All", all);
  store.WriteString("LastDestFolder", folder);
  EXPECT_EQ(store.ReadString("All", ""), all);
  EXPECT_EQ(store.ReadString("LastDestFolder", ""), folder);
}

TEST_F(RegistryStore, OddValueNamesStayApart) {
  auto& store = Store();
  const std::vector<std::string> names = {"", "a/b", "a\\b", "a%2Fb", "%", "a b", "[General]", "x=y", "\xE9t\xE9"};
  for (std::size_t i = 0; i < names.size(); ++i) store.WriteInteger(names[i], static_cast<std::int32_t>(i));
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(store.ReadInteger(names[i], -1), static_cast<std::int32_t>(i)) << names[i];
}

TEST_F(RegistryStore, RaisingReportsTheExactMessages) {
  auto& store = Store();
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.OpenForRead(), EKWSettingsStorageError, "Registry open error 2");
  EXPECT_EQ(store.ReadKey(), kNoKey);
  EXPECT_THROW_MSG(store.ReadString("LastPrefix", "images/"), EKWSettingsStorageError, "Registry open error 2");

  store.WriteInteger("LastNumOfChunks", 16);
  // The type check comes before the data is read.
  FRegistry.Calls.clear();
  EXPECT_THROW_MSG(store.ReadString("Missing", "d"), EKWSettingsStorageError, "Wrong value type: 0");
  EXPECT_EQ((std::vector<std::string>{"OpenKey", "QuerySize", "CloseKey"}), FRegistry.Calls);
  EXPECT_THROW_MSG(store.ReadInteger("Missing", 3), EKWSettingsStorageError, "Wrong value type: 0");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 3), 16);
  EXPECT_EQ(FRegistry.OpenHandles, 0);
}

TEST_F(RegistryStore, ReadAndWriteFailuresCarryTheirCodes) {
  auto& store = Store();
  store.WriteString("A", "stored");

  FRegistry.FailDataQuery = kErrorAccessDenied;
  EXPECT_EQ(store.ReadString("A", "default"), "default");
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.ReadString("A", "default"), EKWSettingsStorageError, "Registry read error 5");
  FRegistry.FailDataQuery = 0;

  FRegistry.FailSet = kErrorDiskFull;
  EXPECT_THROW_MSG(store.WriteString("A", "new"), EKWSettingsStorageError, "Registry write error 112");
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_EQ(FRegistry.OpenHandles, 0);
  store.OpenForWrite();
  EXPECT_THROW_MSG(store.WriteInteger("A", 1), EKWSettingsStorageError, "Registry write error 112");
  EXPECT_NE(store.WriteKey(), kNoKey) << "a key opened by the user stays open";
  store.CloseWrite();
  FRegistry.FailSet = 0;
  EXPECT_EQ(store.ReadString("A", "default"), "stored");
}

// A value that another process shortens between the size query and the data read.
class TShrinkingRegistry : public TRecordingRegistry {
public:
  using TRecordingRegistry::TRecordingRegistry;
  std::int32_t QueryValue(TRegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* size) override {
    const std::int32_t result = TRecordingRegistry::QueryValue(key, name, type, data, size);
    if (!data && result == kErrorSuccess) *size += 2;
    return result;
  }
};

TEST_F(RegistryStore, ValueThatShrankComesBackWithoutPadding) {
  Store().WriteString("A", "abcd");
  TShrinkingRegistry shrinking(FFiles);
  TKWRegistrySettingsStorage store(shrinking);
  store.SetKeyPath(kKey);
  EXPECT_EQ(store.ReadString("A", ""), "abcd");
}

TEST_F(RegistryStore, OtherValueTypesComeBackAsRawBytes) {
  auto& store = Store();
  store.WriteString("Placeholder", "");
  TRegKey key = kNoKey;
  ASSERT_EQ(FFiles.OpenKey(kHKeyCurrentUser, kKey, kKeyWrite, key), kErrorSuccess);
  const std::string text = "images/";
  ASSERT_EQ(FFiles.SetValue(key, "Text", kRegSz, reinterpret_cast<const std::uint8_t*>(text.c_str()), 8),
            kErrorSuccess);
  FFiles.CloseKey(key);

  EXPECT_EQ(store.ReadString("Text", "d"), std::string("images/\0", 8));
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.ReadString("Text", "d"), EKWSettingsStorageError, "Wrong value type: 1");
}

TEST_F(RegistryStore, HandlesStayOpenOnlyWhileTheUserHoldsThem) {
  auto& store = Store();
  store.WriteInteger("A", 1);
  store.WriteInteger("B", 2);
  EXPECT_EQ(store.WriteKey(), kNoKey);

  store.OpenForRead();
  const TRegKey held = store.ReadKey();
  EXPECT_NE(held, kNoKey);
  EXPECT_EQ(store.ReadInteger("A", 0), 1);
  EXPECT_EQ(store.ReadInteger("B", 0), 2);
  EXPECT_EQ(store.ReadString("Missing", "d"), "d");
  EXPECT_EQ(store.ReadKey(), held);
  EXPECT_EQ(FRegistry.OpenHandles, 1);
  EXPECT_EQ(FFiles.OpenKeyCount(), 1u);
  // Opening again replaces the handle rather than leaking it.
  store.OpenForRead();
  EXPECT_EQ(FRegistry.OpenHandles, 1);
  store.CloseRead();
  EXPECT_EQ(store.ReadKey(), kNoKey);
  EXPECT_EQ(FRegistry.OpenHandles, 0);

  FRegistry.Calls.clear();
  EXPECT_EQ(store.ReadInteger("A", 0), 1);
  EXPECT_EQ(store.ReadKey(), kNoKey);
  EXPECT_EQ((std::vector<std::string>{"OpenKey", "QuerySize", "QueryData", "CloseKey"}), FRegistry.Calls);

  store.OpenForWrite();
  store.OpenForWrite();
  EXPECT_EQ(FRegistry.OpenHandles, 1);
  store.CloseWrite();
  store.CloseWrite();
  EXPECT_EQ(FRegistry.OpenHandles, 0);
  EXPECT_EQ(FFiles.OpenKeyCount(), 0u);
}

TEST_F(RegistryStore, WriteAfterAFailedOpenFailsOnItsOwn) {
  const std::string blocker = FHome.Path() + "/Norvel";
  std::ofstream(blocker) << "a file where the folder should be";
  auto& store = Store();
  store.WriteString("A", "x");
  EXPECT_EQ(FRegistry.LastSetKey, kNoKey);
  EXPECT_EQ(FRegistry.LastSetResult, kErrorInvalidHandle);
  EXPECT_EQ(store.ReadString("A", "d"), "d");
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.OpenForWrite(), EKWSettingsStorageError, "Registry open error 3");
  EXPECT_EQ(store.WriteKey(), kNoKey);
}

TEST(RegistryStoreFolders, UnwritableFolderLosesOnlyTheWrites) {
  testing::TTempDir dir;
  std::ofstream(dir.File("plain-file")) << "x";
  const TConfigHome home(dir.File("plain-file") + "/config");
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKey);
  store.WriteInteger("LastNumOfChunks", 32);
  store.WriteString("LastPrefix", "x/");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 16), 16);
  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "images/");
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.OpenForWrite(), EKWSettingsStorageError, "Registry open error 3");
  EXPECT_THROW_MSG(store.OpenForRead(), EKWSettingsStorageError, "Registry open error 3");
  EXPECT_THROW_MSG(store.WriteString("LastPrefix", "x/"), EKWSettingsStorageError, "Registry open error 3");
}

TEST(RegistryStoreFolders, DefaultRegistryFollowsXdgConfigHome) {
  const TConfigHome home;
  {
    TKWRegistrySettingsStorage store;
    store.SetKeyPath(kKey);
    store.WriteInteger("LastNumOfChunks", 100);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(home.Path() + "/Norvel/Crumb.conf"));
  TKWRegistrySettingsStorage again;
  again.SetKeyPath(kKey);
  EXPECT_EQ(again.ReadInteger("LastNumOfChunks", 16), 100);
}

// Two processes write the same key many times at once: each one's values survive (no update is
// lost to the other's rewrite) and the file stays whole.
TEST(RegistryStoreProcesses, TwoWritersLeaveOneConsistentFile) {
  const TConfigHome home;
  constexpr int kRounds = 40;
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      int status = 0;
      try {
        TKWRegistrySettingsStorage store;
        store.SetKeyPath(kKey);
        store.SetRaiseErrors(true);
        const std::string own = child == 0 ? "First" : "Second";
        for (int round = 0; round < kRounds; ++round) {
          store.OpenForWrite();
          store.WriteInteger(own, round);
          store.WriteString("Shared", own + std::string(static_cast<std::size_t>(round), '.'));
          store.CloseWrite();
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
  }
  for (const pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKey);
  store.SetRaiseErrors(true);
  EXPECT_EQ(store.ReadInteger("First", -1), kRounds - 1);
  EXPECT_EQ(store.ReadInteger("Second", -1), kRounds - 1);
  const std::string shared = store.ReadString("Shared", "");
  const std::string dots(kRounds - 1, '.');
  EXPECT_TRUE(shared == "First" + dots || shared == "Second" + dots) << shared;
  // Nothing but the file is left behind: no temporary files, no lock.
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(home.Path() + "/Norvel"))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"Crumb.conf"});
}

}  // namespace
}  // namespace mosaicer
