#include "settings/KWSettingsStorage.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace mosaicer {

std::string IntToBinaryString(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>((bits >> (24 - 8 * i)) & 0xFFu);
  return text;
}

std::int32_t BinaryStringToInt(const std::string& text, std::int32_t defaultValue) {
  if (text.size() != 4) return defaultValue;
  std::uint32_t bits = 0;
  for (const char c : text) bits = (bits << 8) | static_cast<unsigned char>(c);
  return static_cast<std::int32_t>(bits);
}

void TKWSettingsStorage::WriteString(const std::string& name, const std::string& value) { DoWriteString(name, value); }

std::string TKWSettingsStorage::ReadString(const std::string& name, const std::string& defaultValue) {
  return DoReadString(name, defaultValue);
}

void TKWSettingsStorage::WriteInteger(const std::string& name, std::int32_t value) {
  DoWriteString(name, IntToBinaryString(value));
}

std::int32_t TKWSettingsStorage::ReadInteger(const std::string& name, std::int32_t defaultValue) {
  return BinaryStringToInt(DoReadString(name, std::string()), defaultValue);
}

void TKWSettingsStorage::DoWriteString(const std::string&, const std::string&) {}

std::string TKWSettingsStorage::DoReadString(const std::string&, const std::string& defaultValue) {
  return defaultValue;
}

void TKWSettingsStorage::RaiseError(const std::string& message) {
  if (FRaiseErrors) throw EKWSettingsStorageError(message);
}

namespace {

// Settings take a few hundred bytes; QSettings reads a file whole, so a far larger one is
// treated as damaged and never read.
constexpr qint64 kMaxFileBytes = 16 << 20;

// Value names become keys of the [General] section; "/" and "\" would make groups of them.
QString KeyOfName(const std::string& name) {
  if (name.empty()) return QStringLiteral("%");  // the key's unnamed value; '%' alone never comes from below
  QString key;
  for (const char c : name) {
    if (c == '%')
      key += QStringLiteral("%25");
    else if (c == '/')
      key += QStringLiteral("%2F");
    else if (c == '\\')
      key += QStringLiteral("%5C");
    else
      key += QChar(static_cast<unsigned char>(c));
  }
  return key;
}

// QSettings reports a file's damage only to the object that parses it; the next one in this
// process reuses that parse, what could be salvaged, while the file keeps its size and time.
// So damage is remembered under the same rule.
class TDamagedFiles {
public:
  bool Has(const QFileInfo& file) {
    const std::lock_guard<std::mutex> guard(FMutex);
    const auto found = FFiles.find(file.absoluteFilePath());
    return found != FFiles.end() && found->second == StampOf(file);
  }
  void Add(const QFileInfo& file) {
    const std::lock_guard<std::mutex> guard(FMutex);
    FFiles[file.absoluteFilePath()] = StampOf(file);
  }

private:
  static std::pair<qint64, QDateTime> StampOf(const QFileInfo& file) { return {file.size(), file.lastModified()}; }

  std::mutex FMutex;
  std::map<QString, std::pair<qint64, QDateTime>> FFiles;
};

TDamagedFiles& DamagedFiles() {
  static TDamagedFiles files;
  return files;
}

// The file a save replaces: a symbolic link's target.
QFileInfo SavedFile(const QString& file) {
  QFileInfo target(file);
  if (target.isSymLink()) target.setFile(target.symLinkTarget());
  return target;
}

// QSaveFile in Qt 6.4 does not notice a write that stores only part of its bytes (a disk with a
// little room left, a file-size limit): it publishes the file cut short and reports success. So
// a value is saved only where the whole file surely fits: each byte of INI text takes at most
// four characters, of a key six.
bool SurelyFits(const QString& file, const std::string& name, const std::string& value) {
  const QFileInfo target = SavedFile(file);
  const auto needed = 4 * static_cast<unsigned long long>(target.exists() ? target.size() : 0) +
                      4 * static_cast<unsigned long long>(value.size()) + 6 * name.size() + 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && needed > limit.rlim_cur) return false;
  struct statvfs disk {};
  if (statvfs(QFile::encodeName(target.absolutePath()).constData(), &disk) != 0) return true;  // the save tells
  return needed + disk.f_frsize <= static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize;
}

// QSettings' cache tells a changed file by its size and modification time, to the millisecond,
// and the file system's clock ticks coarser: another process's save of the same size within the
// tick of our last one looks like no change, and our next save would merge into the stale copy
// and drop the other's values. So saves take turns under a lock of their own, and each waits
// out the tick of its own save (bounded, against a clock set back) before handing on.
void WaitOutClockTick(const QString& file) {
  const qint64 saved = SavedFile(file).lastModified().toMSecsSinceEpoch();
  for (int i = 0; i < 100; ++i) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 > saved) return;
    usleep(1000);
  }
}

// QSettings tells only that a save failed; where the file may be written, space ran out.
std::int32_t WriteFailure(const QString& file) {
  const QFileInfo target = SavedFile(file);
  const bool allowed = QFileInfo(target.absolutePath()).isWritable() && (!target.exists() || target.isWritable());
  return allowed ? kSettingsDiskFull : kSettingsAccess;
}

}  // namespace

std::string UserConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return std::string(found->pw_dir) + "/.config";
  return {};
}

TKWRegistrySettingsStorage::TKWRegistrySettingsStorage() = default;
TKWRegistrySettingsStorage::~TKWRegistrySettingsStorage() = default;

std::string TKWRegistrySettingsStorage::KeyFile() const {
  std::string file = UserConfigHome();
  if (FRootKey != kHKeyCurrentUser || file.empty()) return {};
  std::size_t start = 0;
  for (int part = 0;; ++part) {
    const std::size_t end = FKeyPath.find('\\', start);
    const std::string name = FKeyPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part == 0) {
      if (name.size() != 8 || strcasecmp(name.c_str(), "Software") != 0) return {};
    } else if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
      return {};
    } else {
      file += '/' + name;
    }
    if (end == std::string::npos) return part == 0 ? std::string() : file + ".conf";
    start = end + 1;
  }
}

std::unique_ptr<QSettings> TKWRegistrySettingsStorage::OpenKey(bool forWrite, std::int32_t& error) const {
  error = kSettingsMissing;
  const std::string file = KeyFile();
  if (file.empty()) return nullptr;
  const QString name = QFile::decodeName(QByteArray::fromStdString(file));
  const QFileInfo info(name);  // follows a symbolic link
  if (!info.exists()) {
    if (!forWrite) return nullptr;
    // A key opened for writing exists from now on, as its folder; the file comes with the first value.
    error = kSettingsAccess;
    if (!QDir().mkpath(info.absolutePath())) return nullptr;
  } else if (!info.isFile()) {
    // QSettings would read a FIFO or a device without end; a folder it cannot read at all.
    error = kSettingsAccess;
    return nullptr;
  } else if (info.size() > kMaxFileBytes) {
    error = kSettingsDamaged;
    if (!forWrite) return nullptr;
    error = kSettingsAccess;
    QSaveFile empty(name);
    if (!empty.open(QIODevice::WriteOnly) || !empty.commit()) return nullptr;
  }
  auto settings = std::make_unique<QSettings>(name, QSettings::IniFormat);
  // Sections are parsed lazily; parse them all now so that status() tells of any damage.
  settings->allKeys();
  if (settings->status() == QSettings::FormatError) DamagedFiles().Add(info);
  if (settings->status() == QSettings::FormatError || DamagedFiles().Has(info)) {
    error = kSettingsDamaged;
    if (!forWrite) return nullptr;
    // A damaged file has no values, so the next write replaces it with a sound one. QSettings
    // keeps reporting its first error; a fresh object tells of the writes to come.
    settings->clear();
    settings->sync();
    settings = std::make_unique<QSettings>(name, QSettings::IniFormat);
  }
  if (settings->status() != QSettings::NoError) {
    error = kSettingsAccess;
    return nullptr;
  }
  error = 0;
  return settings;
}

void TKWRegistrySettingsStorage::OpenForRead() {
  std::int32_t error = 0;
  FRead = OpenKey(false, error);
  if (!FRead) RaiseError("Registry open error " + std::to_string(error));
}

void TKWRegistrySettingsStorage::CloseRead() { FRead.reset(); }

void TKWRegistrySettingsStorage::OpenForWrite() {
  std::int32_t error = 0;
  FWrite = OpenKey(true, error);
  if (!FWrite) RaiseError("Registry open error " + std::to_string(error));
}

void TKWRegistrySettingsStorage::CloseWrite() { FWrite.reset(); }

void TKWRegistrySettingsStorage::DoWriteString(const std::string& name, const std::string& value) {
  // After a failed open the write goes to no key and reports its own failure.
  const bool ownKey = !FWrite;
  if (ownKey) OpenForWrite();
  const std::int32_t error = WriteValue(name, value);
  if (ownKey) CloseWrite();
  if (error != 0) RaiseError("Registry write error " + std::to_string(error));
}

std::int32_t TKWRegistrySettingsStorage::WriteValue(const std::string& name, const std::string& value) {
  if (!FWrite) return kSettingsMissing;
  if (!SurelyFits(FWrite->fileName(), name, value)) return kSettingsDiskFull;
  QLockFile turn(FWrite->fileName() + QStringLiteral(".turn"));
  if (!turn.lock()) return WriteFailure(FWrite->fileName());
  FWrite->setValue(KeyOfName(name), QByteArray(value.data(), static_cast<qsizetype>(value.size())));
  FWrite->sync();
  WaitOutClockTick(FWrite->fileName());
  if (FWrite->status() == QSettings::NoError) return 0;
  const std::int32_t error = WriteFailure(FWrite->fileName());
  // QSettings keeps reporting its first error; a fresh object tells of the next write's own.
  std::int32_t ignored = 0;
  if (auto fresh = OpenKey(true, ignored)) FWrite = std::move(fresh);
  return error;
}

std::string TKWRegistrySettingsStorage::DoReadString(const std::string& name, const std::string& defaultValue) {
  const bool ownKey = !FRead;
  if (ownKey) OpenForRead();
  std::int32_t type = 0;
  std::string result;
  if (FRead) {
    // A byte array is what the store writes; a plain line is text typed by hand, its UTF-8
    // bytes. Lists and other kinds of value are not the store's and read as missing.
    const QVariant stored = FRead->value(KeyOfName(name));
    if (stored.typeId() == QMetaType::QByteArray || stored.typeId() == QMetaType::QString) {
      type = kSettingsBinary;
      const QByteArray bytes = stored.typeId() == QMetaType::QString ? stored.toString().toUtf8() : stored.toByteArray();
      result.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
  }
  if (ownKey) CloseRead();
  if (type == kSettingsBinary) return result;
  // The values are read with the file when the key opens, so a value, once found, cannot fail
  // to read: a missing one gives the default.
  RaiseError("Wrong value type: " + std::to_string(type));
  return defaultValue;
}

}  // namespace mosaicer
