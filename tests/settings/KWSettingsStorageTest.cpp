// The settings store: value encoding, the silent-by-default rule, its messages and their numbers,
// who opens and closes keys, and what hand-typed, damaged and linked files, full disks and two
// writers at once do; in a temporary configuration folder.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "settings/KWSettingsStorage.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/ExpectThrow.h"
#include "tests/support/NamedRows.h"

namespace mosaicer {
namespace {

using testing::TConfigHome;

const char* const kKey = "Software\\Norvel\\Crumb";

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (const int v : values) text += static_cast<char>(v);
  return text;
}

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

// Runs work in a child process and returns the text it gave back.
std::string InChild(const std::function<std::string()>& work) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeEnds[0]);
    std::string result;
    try {
      result = work();
    } catch (const std::exception& e) {
      result = std::string("exception: ") + e.what();
    }
    const ssize_t written = write(pipeEnds[1], result.data(), result.size());
    _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
  }
  close(pipeEnds[1]);
  std::string result;
  char buffer[256];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
  close(pipeEnds[0]);
  int status = -1;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: " + result;
  return result;
}

// In a child process: a tmpfs over the folder that only this process sees; false where the
// machine allows no private mounts.
bool MountPrivateTmpfs(const std::string& folder, const char* options) {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", folder.c_str(), "tmpfs", 0, options) == 0;
}

// The message of the store failure that work raises, or "none".
std::string FailureOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const EKWSettingsStorageError& e) {
    return e.what();
  }
  return "none";
}

// An independent plain encoding to check the store's against.
std::string PlainBigEndian(std::int64_t value) {
  const auto u = static_cast<std::uint64_t>(value) & 0xFFFFFFFFu;
  return Bytes({static_cast<int>(u / 16777216 % 256), static_cast<int>(u / 65536 % 256),
                static_cast<int>(u / 256 % 256), static_cast<int>(u % 256)});
}

struct TIntegerCase {
  const char* Name;
  std::int32_t Value;
};

void PrintTo(const TIntegerCase& c, std::ostream* out) { *out << c.Name; }

class BinaryStringIntegers : public ::testing::TestWithParam<TIntegerCase> {};

TEST_P(BinaryStringIntegers, AreFourBytesMostSignificantFirstAndReadBack) {
  const TIntegerCase& row = GetParam();
  const std::string text = IntToBinaryString(row.Value);
  EXPECT_EQ(text, PlainBigEndian(row.Value));
  EXPECT_EQ(BinaryStringToInt(text, 99), row.Value);
}

INSTANTIATE_TEST_SUITE_P(, BinaryStringIntegers,
                         ::testing::Values(TIntegerCase{"Zero", 0}, TIntegerCase{"Sixteen", 16}, TIntegerCase{"MinusOne", -1},
                                           TIntegerCase{"Max", INT_MAX}, TIntegerCase{"Min", INT_MIN},
                                           TIntegerCase{"Mixed", 0x12345678},
                                           TIntegerCase{"HighBytes", -2023406815 /* 0x87654321 */}),
                         testing::TRowName());

TEST(BinaryString, IntegersAsFourBytesMostSignificantFirst) {
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

struct TKeyPathCase {
  const char* Name;
  std::string Path;
  const char* File;
};

void PrintTo(const TKeyPathCase& c, std::ostream* out) { *out << c.Name; }

class KeyFilePaths : public ::testing::TestWithParam<TKeyPathCase> {};

TEST_P(KeyFilePaths, BelowSoftwareMapToConfFiles) {
  const TConfigHome home(std::string("/h"));
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(GetParam().Path);
  EXPECT_EQ(store.KeyFile(), GetParam().File);
}

INSTANTIATE_TEST_SUITE_P(
    , KeyFilePaths,
    ::testing::Values(TKeyPathCase{"TheProgramsKey", "Software\\Norvel\\Crumb", "/h/Norvel/Crumb.conf"},
                      TKeyPathCase{"AnyCaseOfSoftware", "software\\Norvel\\Crumb", "/h/Norvel/Crumb.conf"},
                      TKeyPathCase{"OneLevel", "Software\\Norvel", "/h/Norvel.conf"},
                      TKeyPathCase{"ThreeLevels", "Software\\A\\B\\C", "/h/A/B/C.conf"},
                      TKeyPathCase{"SoftwareAlone", "Software", ""}, TKeyPathCase{"Empty", "", ""},
                      TKeyPathCase{"NotBelowSoftware", "Norvel\\Crumb", ""},
                      TKeyPathCase{"TrailingSeparator", "Software\\Norvel\\", ""},
                      TKeyPathCase{"LeadingSeparator", "\\Software\\Norvel", ""},
                      TKeyPathCase{"EmptyComponent", "Software\\\\Crumb", ""},
                      TKeyPathCase{"ParentComponent", "Software\\..\\Crumb", ""},
                      TKeyPathCase{"DotComponent", "Software\\.", ""},
                      TKeyPathCase{"SlashInAComponent", "Software\\a/b", ""},
                      TKeyPathCase{"ZeroInAComponent", std::string("Software\\a\0b", 12), ""},
                      TKeyPathCase{"ZeroAfterSoftware", std::string("Software\0x\\Crumb", 16), ""}),
    testing::TRowName());

TEST(KeyFiles, AnotherRootKeyHasNoFile) {
  const TConfigHome home(std::string("/h"));
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKey);
  store.SetRootKey(0x80000002);
  EXPECT_EQ(store.KeyFile(), "");
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

class RegistryStore : public ::testing::Test {
protected:
  std::string KeyFile() const { return FHome.Path() + "/Norvel/Crumb.conf"; }
  TKWRegistrySettingsStorage& Store() {
    FStore.SetKeyPath(kKey);
    return FStore;
  }
  std::string FileText() const { return ReadText(KeyFile()); }

  TConfigHome FHome;
  TKWRegistrySettingsStorage FStore;
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
}

TEST_F(RegistryStore, OpenForWriteCreatesTheKeyWithItsParents) {
  auto& store = Store();
  store.SetRaiseErrors(true);
  store.OpenForWrite();
  EXPECT_NE(store.WriteKey(), kNoKey);
  EXPECT_TRUE(std::filesystem::is_directory(FHome.Path() + "/Norvel"));
  store.WriteString("LastPrefix", "pics/");
  store.WriteInteger("LastNumOfChunks", 64);
  store.CloseWrite();
  EXPECT_EQ(store.WriteKey(), kNoKey);

  EXPECT_EQ(store.ReadString("LastPrefix", "images/"), "pics/");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 16), 64);
  // A person can find and read the file.
  EXPECT_NE(FileText().find("LastPrefix=@ByteArray(pics/)"), std::string::npos) << FileText();
  // A later write keeps what it does not change.
  store.WriteString("LastOpenFolder", "/pictures");
  EXPECT_EQ(store.ReadString("LastPrefix", ""), "pics/");
  EXPECT_EQ(FolderEntries(FHome.Path() + "/Norvel"), std::vector<std::string>{"Crumb.conf"});
}

TEST_F(RegistryStore, ASavedFileKeepsItsPermissions) {
  WriteText(KeyFile(), "[General]\nA=@ByteArray(x)\n");
  std::filesystem::permissions(KeyFile(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Store().WriteString("B", "y");
  EXPECT_EQ(std::filesystem::status(KeyFile()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(Store().ReadString("A", ""), "x");
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
  EXPECT_NE(FileText().find("Sixteen=@ByteArray(\\0\\0\\0\\x10)"), std::string::npos) << FileText();
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
  EXPECT_THROW_MSG(store.ReadString("Missing", "d"), EKWSettingsStorageError, "Wrong value type: 0");
  EXPECT_THROW_MSG(store.ReadInteger("Missing", 3), EKWSettingsStorageError, "Wrong value type: 0");
  EXPECT_EQ(store.ReadKey(), kNoKey) << "a key a read opened itself is closed when it raises";
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 3), 16);
  store.OpenForRead();
  EXPECT_THROW_MSG(store.ReadString("Missing", "d"), EKWSettingsStorageError, "Wrong value type: 0");
  EXPECT_NE(store.ReadKey(), kNoKey) << "a key opened by the user stays open";
  store.CloseRead();
}

TEST_F(RegistryStore, HandTypedTextLinesReadBackExactly) {
  WriteText(KeyFile(),
            "; written by hand\n[General]\nLastDestFolder=/home/me/site\nLastPrefix=pics/\n"
            "LastOpenFolder=\"/home/me/my pictures, old\"\nLastNumOfChunks=@ByteArray(\\0\\0\\0\\x10)\n"
            "Umlaut=b\xC3\xA4r\n[Other]\nLastPrefix=@ByteArray(not this one)\n");
  auto& store = Store();
  store.SetRaiseErrors(true);
  EXPECT_EQ(store.ReadString("LastDestFolder", "d"), "/home/me/site");
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "pics/");
  EXPECT_EQ(store.ReadString("LastOpenFolder", "d"), "/home/me/my pictures, old");
  EXPECT_EQ(store.ReadString("Umlaut", "d"), "b\xC3\xA4r");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 0), 16);
  // A write keeps what it does not change, other sections included.
  store.WriteString("LastDestFolder", "/out");
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "pics/");
  EXPECT_EQ(store.ReadString("LastDestFolder", "d"), "/out");
  EXPECT_NE(FileText().find("[Other]"), std::string::npos) << FileText();
}

// An unquoted comma makes a list in the INI syntax; the other two are foreign kinds.
class RegistryStoreForeignValue : public RegistryStore, public ::testing::WithParamInterface<const char*> {};

TEST_P(RegistryStoreForeignValue, ReadsAsMissing) {
  WriteText(KeyFile(), "[General]\nList=a, b\nRect=@Rect(1 2 3 4)\nVariant=@Variant(\\0\\0\\0\\x7f)\n");
  auto& store = Store();
  const char* name = GetParam();
  EXPECT_EQ(store.ReadString(name, "d"), "d");
  store.SetRaiseErrors(true);
  EXPECT_THROW_MSG(store.ReadString(name, "d"), EKWSettingsStorageError, "Wrong value type: 0");
  store.SetRaiseErrors(false);
}

INSTANTIATE_TEST_SUITE_P(, RegistryStoreForeignValue, ::testing::Values("List", "Rect", "Variant"),
                         [](const ::testing::TestParamInfo<const char*>& row) { return std::string(row.param); });

TEST_F(RegistryStore, HandlesStayOpenOnlyWhileTheUserHoldsThem) {
  auto& store = Store();
  store.WriteInteger("A", 1);
  store.WriteInteger("B", 2);
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_EQ(store.ReadInteger("A", 0), 1);
  EXPECT_EQ(store.ReadKey(), kNoKey);

  store.OpenForRead();
  const TRegKey held = store.ReadKey();
  EXPECT_NE(held, kNoKey);
  EXPECT_EQ(store.ReadInteger("A", 0), 1);
  EXPECT_EQ(store.ReadInteger("B", 0), 2);
  EXPECT_EQ(store.ReadString("Missing", "d"), "d");
  EXPECT_EQ(store.ReadKey(), held);
  store.CloseRead();
  EXPECT_EQ(store.ReadKey(), kNoKey);

  store.OpenForWrite();
  store.OpenForWrite();
  EXPECT_NE(store.WriteKey(), kNoKey);
  store.WriteInteger("A", 3);
  store.CloseWrite();
  store.CloseWrite();
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_EQ(store.ReadInteger("A", 0), 3);
}

// Each failure carries its number: 2 missing, 5 access, 13 damaged (112 disk full is below).
TEST_F(RegistryStore, FailuresCarryTheNumbersOfTheTable) {
  auto& store = Store();
  store.SetRaiseErrors(true);
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 2");
  store.SetKeyPath("Norvel\\Crumb");
  EXPECT_EQ(FailureOf([&] { store.OpenForWrite(); }), "Registry open error 2");
  store.SetKeyPath(kKey);

  WriteText(KeyFile(), "[General\nA=@ByteArray(x)\n");
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 13");
  EXPECT_EQ(store.ReadKey(), kNoKey);

  std::filesystem::remove(KeyFile());
  std::filesystem::create_directories(KeyFile());
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 5");
  EXPECT_EQ(FailureOf([&] { store.WriteString("A", "x"); }), "Registry open error 5");
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_TRUE(std::filesystem::is_directory(KeyFile())) << "what cannot be read is not replaced";

  // A FIFO would block every read of it.
  std::filesystem::remove(KeyFile());
  ASSERT_EQ(mkfifo(KeyFile().c_str(), 0600), 0);
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 5");
  EXPECT_EQ(FailureOf([&] { store.WriteString("A", "x"); }), "Registry open error 5");
  EXPECT_TRUE(std::filesystem::is_fifo(KeyFile()));
}

// The content is made when the row runs.
struct TDamagedCase {
  const char* Name;
  std::function<std::string()> Content;
};

void PrintTo(const TDamagedCase& c, std::ostream* out) { *out << c.Name; }

class RegistryStoreDamaged : public RegistryStore, public ::testing::WithParamInterface<TDamagedCase> {};

TEST_P(RegistryStoreDamaged, FilesReadAsNoValuesAndTheNextWriteReplacesThem) {
  auto& store = Store();
  WriteText(KeyFile(), GetParam().Content());
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "d");
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 7), 7);
  store.WriteInteger("LastNumOfChunks", 32);
  store.SetRaiseErrors(true);
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 7), 32);
  EXPECT_EQ(FailureOf([&] { store.ReadString("LastPrefix", "d"); }), "Wrong value type: 0")
      << "nothing of the damaged file is kept";
  store.SetRaiseErrors(false);
  EXPECT_EQ(FileText(), "[General]\nLastNumOfChunks=@ByteArray(\\0\\0\\0 )\n");
}

INSTANTIATE_TEST_SUITE_P(
    , RegistryStoreDamaged,
    ::testing::Values(
        TDamagedCase{"TruncatedSection",
                     [] { return std::string("[General\nLastPrefix=@ByteArray(x)\nLastNumOfChunks=@ByteArray(\\0\\0\\0\\x10)\n"); }},
        TDamagedCase{"ZeroBytes", [] { return std::string(64, '\0'); }},
        TDamagedCase{"APicture",
                     [] {
                       const std::vector<std::uint8_t> jpeg = testing::EncodeJPEG(testing::PhotoLike(32, 24));
                       return std::string(jpeg.begin(), jpeg.end());
                     }}),
    testing::TRowName());

// A file far too large to be ours (sparse, so cheap to make) is not read.
TEST_F(RegistryStore, AFileFarTooLargeIsNotReadAndTheNextWriteReplacesIt) {
  auto& store = Store();
  store.WriteInteger("LastNumOfChunks", 32);
  std::filesystem::resize_file(KeyFile(), 64 << 20);
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 7), 7);
  store.SetRaiseErrors(true);
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 13");
  store.WriteString("A", "x");
  EXPECT_LT(std::filesystem::file_size(KeyFile()), 100u);
  EXPECT_EQ(store.ReadString("A", ""), "x");
}

TEST_F(RegistryStore, ASymbolicLinkStaysAndItsTargetIsReplaced) {
  const std::string target = FHome.Dir().File("dotfiles/Crumb.conf");
  WriteText(target, "[General]\nLastPrefix=pics/\n");
  std::filesystem::create_directories(FHome.Path() + "/Norvel");
  std::filesystem::create_symlink("../dotfiles/Crumb.conf", KeyFile());
  auto& store = Store();
  store.SetRaiseErrors(true);
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "pics/");
  store.WriteInteger("LastNumOfChunks", 64);
  EXPECT_TRUE(std::filesystem::is_symlink(KeyFile()));
  EXPECT_EQ(std::filesystem::read_symlink(KeyFile()), "../dotfiles/Crumb.conf");
  EXPECT_NE(ReadText(target).find("LastNumOfChunks="), std::string::npos) << ReadText(target);
  EXPECT_EQ(store.ReadInteger("LastNumOfChunks", 0), 64);
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "pics/");
  EXPECT_EQ(FolderEntries(FHome.Dir().File("dotfiles")), std::vector<std::string>{"Crumb.conf"});
}

TEST_F(RegistryStore, ADanglingLinkGetsItsTargetMadeWhereItsFolderExists) {
  std::filesystem::create_directories(FHome.Path() + "/Norvel");
  std::filesystem::create_directories(FHome.Dir().File("dotfiles"));
  std::filesystem::create_symlink(FHome.Dir().File("dotfiles/Crumb.conf"), KeyFile());
  auto& store = Store();
  store.SetRaiseErrors(true);
  EXPECT_EQ(FailureOf([&] { store.OpenForRead(); }), "Registry open error 2");
  store.WriteString("LastPrefix", "pics/");
  EXPECT_TRUE(std::filesystem::is_symlink(KeyFile()));
  EXPECT_EQ(store.ReadString("LastPrefix", "d"), "pics/");
  EXPECT_TRUE(std::filesystem::is_regular_file(FHome.Dir().File("dotfiles/Crumb.conf")));

  // A link into a folder that does not exist makes nothing.
  std::filesystem::remove(KeyFile());
  std::filesystem::create_symlink(FHome.Dir().File("gone/Crumb.conf"), KeyFile());
  EXPECT_EQ(FailureOf([&] { store.WriteString("LastPrefix", "x/"); }), "Registry write error 5");
  EXPECT_TRUE(std::filesystem::is_symlink(KeyFile()));
  EXPECT_FALSE(std::filesystem::exists(FHome.Dir().File("gone")));
}

// A value too large for the room left: the write fails with the disk-full number, and the old
// file stays whole, with nothing left beside it.
std::string WriteThatDoesNotFit(const std::string& folder, std::size_t size) {
  const std::string before = ReadText(folder + "/Crumb.conf");
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKey);
  store.SetRaiseErrors(true);
  store.OpenForWrite();
  std::string result = FailureOf([&] { store.WriteString("A", std::string(size, 'n')); });
  store.SetRaiseErrors(false);
  result += store.ReadString("A", "") == std::string(300, 'o') ? ", old value read" : ", old value not read";
  store.CloseWrite();
  result += ReadText(folder + "/Crumb.conf") == before ? ", file whole:" : ", file changed:";
  for (const std::string& name : FolderEntries(folder))
    if (name.rfind("filler", 0) != 0) result += " " + name;
  return result;
}

const char* const kDidNotFit = "Registry write error 112, old value read, file whole: Crumb.conf";

class FileSizeLimit : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FileSizeLimit, LeavesTheOldFileWhole) {
  const TConfigHome home;
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKey);
  store.WriteString("A", std::string(300, 'o'));
  const std::string result = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    return WriteThatDoesNotFit(home.Path() + "/Norvel", GetParam());
  });
  EXPECT_EQ(result, kDidNotFit);
}

// Small values go through the file's write buffer, large ones past it.
INSTANTIATE_TEST_SUITE_P(RegistryStoreFaults, FileSizeLimit, ::testing::Values(1200, 60000),
                         [](const ::testing::TestParamInfo<std::size_t>& row) {
                           return std::to_string(row.param) + "_bytes";
                         });

// On a tiny file system of a child's own, filled up to the given room, or with every file
// entry taken.
std::string OnAFullDisk(const std::string& folder, std::size_t room, bool noEntries, std::size_t size) {
  return InChild([&]() -> std::string {
    if (!MountPrivateTmpfs(folder, "size=64k,nr_inodes=16")) return "skip";
    TKWRegistrySettingsStorage store;
    store.SetKeyPath(kKey);
    store.WriteString("A", std::string(300, 'o'));
    if (noEntries) {
      for (int i = 0; std::ofstream(folder + "/filler-" + std::to_string(i)); ++i) {
      }
    } else {
      std::ofstream filler(folder + "/filler", std::ios::binary);
      const std::string block(1024, 'f');
      while (filler.write(block.data(), static_cast<std::streamsize>(block.size())).flush()) {
      }
      filler.close();
      std::filesystem::resize_file(folder + "/filler", std::filesystem::file_size(folder + "/filler") - room);
    }
    return WriteThatDoesNotFit(folder, size);
  });
}

struct TFullDiskCase {
  const char* Name;
  std::size_t Room;
  bool NoEntries;
  std::size_t Size;
};

void PrintTo(const TFullDiskCase& c, std::ostream* out) { *out << c.Name; }

class RegistryStoreFullDisk : public ::testing::TestWithParam<TFullDiskCase> {};

TEST_P(RegistryStoreFullDisk, LeavesTheOldFileWhole) {
  const TConfigHome home;
  const std::string folder = home.Path() + "/Norvel";
  std::filesystem::create_directories(folder);
  const TFullDiskCase& row = GetParam();
  const std::string result = OnAFullDisk(folder, row.Room, row.NoEntries, row.Size);
  if (result == "skip") GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(result, kDidNotFit);
}

INSTANTIATE_TEST_SUITE_P(Faults, RegistryStoreFullDisk,
                         ::testing::Values(TFullDiskCase{"NoRoomAtAll", 0, false, 600},
                                           TFullDiskCase{"RoomForAPart", 8192, false, 12000},
                                           TFullDiskCase{"NoFileEntryLeft", 0, true, 600}),
                         testing::TRowName());

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
  EXPECT_THROW_MSG(store.OpenForWrite(), EKWSettingsStorageError, "Registry open error 5");
  EXPECT_EQ(store.WriteKey(), kNoKey);
  EXPECT_THROW_MSG(store.OpenForRead(), EKWSettingsStorageError, "Registry open error 2");
  EXPECT_THROW_MSG(store.WriteString("LastPrefix", "x/"), EKWSettingsStorageError, "Registry open error 5");
}

TEST(RegistryStoreFolders, StoreFollowsXdgConfigHome) {
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

// Another process's save of the same size right after ours, within one tick of the file
// system's clock (a private tmpfs is fast enough): our next save still keeps its value.
TEST(RegistryStoreProcesses, SameSizeSaveWithinOneClockTickIsNotLost) {
  const TConfigHome home;
  const std::string folder = home.Path() + "/Norvel";
  std::filesystem::create_directories(folder);
  const std::string result = InChild([&]() -> std::string {
    if (!MountPrivateTmpfs(folder, "size=1m")) return "skip";
    TKWRegistrySettingsStorage first;
    first.SetKeyPath(kKey);
    first.SetRaiseErrors(true);
    first.WriteString("X", "a");
    first.WriteString("Y", "a");
    first.OpenForWrite();
    first.WriteString("X", "b");
    const pid_t other = fork();
    if (other == 0) {
      TKWRegistrySettingsStorage second;
      second.SetKeyPath(kKey);
      second.WriteString("Y", "b");
      _exit(0);
    }
    waitpid(other, nullptr, 0);
    first.WriteString("X", "c");
    first.CloseWrite();
    return ReadText(folder + "/Crumb.conf");
  });
  if (result == "skip") GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(result, "[General]\nX=@ByteArray(c)\nY=@ByteArray(b)\n");
}

}  // namespace
}  // namespace mosaicer
