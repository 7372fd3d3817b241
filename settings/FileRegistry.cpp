#include "settings/FileRegistry.h"

#include <QByteArray>
#include <QFile>
#include <QLockFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QVariant>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace mosaicer {

namespace {

// How long a writer waits for another one, and when a lock left by a dead process is taken over.
constexpr int kLockWaitMs = 10000;
constexpr int kStaleLockMs = 30000;
// Settings take a few hundred bytes; anything near this size is not ours and is not loaded.
constexpr std::int64_t kMaxFileBytes = 16 << 20;

std::int32_t CodeOfErrno(int error, std::int32_t otherwise) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    default: return otherwise;
  }
}

bool SameTextIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// Creates a folder and its missing parents; returns 0 or an errno value.
int MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0700) == 0) continue;
    const int error = errno;
    if (error != EEXIST) return error;
    struct stat info {};
    if (stat(prefix.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  }
  return 0;
}

std::string FolderOf(const std::string& file) { return file.substr(0, file.rfind('/')); }

// The whole file; returns 0 or an errno value (ENOENT when there is no file, EFBIG when it is
// too large to be a settings file).
int ReadWholeFile(const std::string& path, QByteArray& bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (info.st_size > kMaxFileBytes) {
    error = EFBIG;
  } else {
    bytes.clear();
    char buffer[16384];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        bytes.append(buffer, static_cast<qsizetype>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
  }
  close(fd);
  return error;
}

// QSettings reads and writes only named files, and caches what it read by file name and time
// stamp; a private scratch file per use keeps each parse fresh.
class TIniScratch {
public:
  bool Load(const QByteArray& bytes) {
    if (!FFile.open()) return false;
    if (FFile.write(bytes) != bytes.size() || !FFile.flush()) return false;
    FSettings = std::make_unique<QSettings>(FFile.fileName(), QSettings::IniFormat);
    // Sections are parsed lazily; parse them all now so that status() tells of any damage.
    FSettings->allKeys();
    return true;
  }
  // Null when the content could not be parsed.
  QSettings* Settings() const {
    return FSettings && FSettings->status() == QSettings::NoError ? FSettings.get() : nullptr;
  }
  bool Save(QByteArray& bytes) {
    FSettings->sync();
    if (FSettings->status() != QSettings::NoError) return false;
    QFile saved(FFile.fileName());
    if (!saved.open(QIODevice::ReadOnly)) return false;
    bytes = saved.readAll();
    return saved.error() == QFileDevice::NoError;
  }

private:
  QTemporaryFile FFile;
  std::unique_ptr<QSettings> FSettings;  // destroyed before the file goes
};

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

QByteArray Utf8WithZero(const QString& text) {
  QByteArray bytes = text.toUtf8();
  bytes.append('\0');
  return bytes;
}

// The registry type and bytes of a stored value; false for kinds of value we do not keep.
bool RegistryValueOf(const QVariant& value, std::uint32_t& type, QByteArray& bytes) {
  switch (value.typeId()) {
    case QMetaType::QByteArray:
      type = kRegBinary;
      bytes = value.toByteArray();
      return true;
    case QMetaType::QString:
      type = kRegSz;
      bytes = Utf8WithZero(value.toString());
      return true;
    case QMetaType::QStringList:
      type = kRegMultiSz;
      bytes.clear();
      for (const QString& item : value.toStringList()) bytes += Utf8WithZero(item);
      bytes.append('\0');
      return true;
    default:
      return false;
  }
}

bool StoredValueOf(std::uint32_t type, const std::uint8_t* data, std::uint32_t size, QVariant& value) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  switch (type) {
    case kRegBinary:
      value = bytes;
      return true;
    case kRegSz: {
      const qsizetype end = bytes.indexOf('\0');
      value = QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
      return true;
    }
    case kRegMultiSz: {
      QStringList items;
      for (const QByteArray& item : bytes.split('\0'))
        if (!item.isEmpty()) items << QString::fromUtf8(item);
      value = items;
      return true;
    }
    default:
      return false;
  }
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

TFileRegistry::TFileRegistry(std::string configHome) : FConfigHome(std::move(configHome)) {}

std::int32_t TFileRegistry::KeyFileOf(const std::string& configHome, const std::string& path, std::string& file) {
  file.clear();
  if (configHome.empty()) return kErrorPathNotFound;
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (parts.size() < 2 || !SameTextIgnoringCase(parts[0], "Software")) return kErrorBadKey;
  std::string result = configHome;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
        part.find('\0') != std::string::npos)
      return kErrorBadKey;
    result += '/';
    result += part;
  }
  file = result + ".conf";
  return kErrorSuccess;
}

std::int32_t TFileRegistry::AddKey(const std::string& file, std::uint32_t access, TRegKey& key) {
  const std::lock_guard<std::mutex> guard(FMutex);
  while (FNextKey == kNoKey || FNextKey == kHKeyCurrentUser || FKeys.count(FNextKey) != 0) ++FNextKey;
  key = FNextKey++;
  FKeys[key] = TOpenKey{file, access};
  return kErrorSuccess;
}

bool TFileRegistry::FindKey(TRegKey key, TOpenKey& found) const {
  const std::lock_guard<std::mutex> guard(FMutex);
  const auto it = FKeys.find(key);
  if (it == FKeys.end()) return false;
  found = it->second;
  return true;
}

std::size_t TFileRegistry::OpenKeyCount() const {
  const std::lock_guard<std::mutex> guard(FMutex);
  return FKeys.size();
}

std::int32_t TFileRegistry::FileOfKey(TRegKey root, const std::string& path, std::string& file) const {
  if (root != kHKeyCurrentUser) return kErrorInvalidHandle;
  return KeyFileOf(FConfigHome.empty() ? UserConfigHome() : FConfigHome, path, file);
}

std::int32_t TFileRegistry::OpenKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) {
  key = kNoKey;
  std::string file;
  if (const std::int32_t bad = FileOfKey(root, path, file)) return bad;
  // A key exists as its file, or as the folder of its subkeys' files.
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) {
    const int fileError = errno;
    const std::string folder = file.substr(0, file.size() - 5);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return CodeOfErrno(fileError, kErrorCantOpen);
  }
  return AddKey(file, access, key);
}

std::int32_t TFileRegistry::CreateKey(TRegKey root, const std::string& path, std::uint32_t access, TRegKey& key) {
  key = kNoKey;
  std::string file;
  if (const std::int32_t bad = FileOfKey(root, path, file)) return bad;
  if (const int error = MakeFolders(FolderOf(file))) return CodeOfErrno(error, kErrorCantWrite);
  // An empty file is a key without values; an existing one is left as it is.
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
  } else if (errno != EEXIST) {
    return CodeOfErrno(errno, kErrorCantWrite);
  }
  return AddKey(file, access, key);
}

std::int32_t TFileRegistry::CloseKey(TRegKey key) {
  const std::lock_guard<std::mutex> guard(FMutex);
  return FKeys.erase(key) != 0 ? kErrorSuccess : kErrorInvalidHandle;
}

std::int32_t TFileRegistry::QueryValue(TRegKey key, const std::string& name, std::uint32_t* type,
                                       std::uint8_t* data, std::uint32_t* size) {
  TOpenKey open;
  if (!FindKey(key, open)) return kErrorInvalidHandle;
  if ((open.Access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  if (data && !size) return kErrorInvalidParameter;

  // Writers replace the file whole, so one read sees one version of it.
  QByteArray content;
  if (const int error = ReadWholeFile(open.File, content)) {
    // No file (a key that has only subkeys) or no regular file: no values.
    if (error == ENOENT || error == EISDIR || error == EINVAL || error == EFBIG) return kErrorFileNotFound;
    return CodeOfErrno(error, kErrorCantRead);
  }
  TIniScratch scratch;
  if (!scratch.Load(content)) return kErrorCantRead;
  // A damaged or foreign file has no values.
  const QSettings* settings = scratch.Settings();
  if (!settings) return kErrorFileNotFound;
  const QVariant stored = settings->value(KeyOfName(name));
  std::uint32_t valueType = kRegNone;
  QByteArray bytes;
  if (!stored.isValid() || !RegistryValueOf(stored, valueType, bytes)) return kErrorFileNotFound;
  if (bytes.size() > 0x7FFFFFFF) return kErrorCantRead;

  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (type) *type = valueType;
  if (!data) {
    if (size) *size = needed;
    return kErrorSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  std::memcpy(data, bytes.constData(), needed);
  *size = needed;
  return kErrorSuccess;
}

std::int32_t TFileRegistry::SetValue(TRegKey key, const std::string& name, std::uint32_t type,
                                     const std::uint8_t* data, std::uint32_t size) {
  TOpenKey open;
  if (!FindKey(key, open)) return kErrorInvalidHandle;
  if ((open.Access & kKeySetValue) == 0) return kErrorAccessDenied;
  if (!data && size != 0) return kErrorInvalidParameter;
  QVariant value;
  if (!StoredValueOf(type, data, size, value)) return kErrorInvalidParameter;

  // A key that had only subkeys gets its file now.
  if (const int error = MakeFolders(FolderOf(open.File))) return CodeOfErrno(error, kErrorCantWrite);

  // The lock makes read, change and replace one step against other writers of the file; the
  // name is the one QSettings itself locks with.
  QLockFile lock(QString::fromLocal8Bit(open.File.c_str()) + QStringLiteral(".lock"));
  lock.setStaleLockTime(kStaleLockMs);
  if (!lock.tryLock(kLockWaitMs)) {
    switch (lock.error()) {
      case QLockFile::LockFailedError: return kErrorLockViolation;
      case QLockFile::PermissionError: return kErrorAccessDenied;
      default: return kErrorCantWrite;
    }
  }

  QByteArray content;
  if (const int error = ReadWholeFile(open.File, content)) {
    // A file we cannot read is not overwritten, so nothing in it is lost by accident; one far
    // too large reads as no values, like a damaged one, and is replaced like one.
    if (error != ENOENT && error != EFBIG) return CodeOfErrno(error, kErrorCantRead);
    content.clear();
  }
  auto scratch = std::make_unique<TIniScratch>();
  if (!scratch->Load(content)) return kErrorCantWrite;
  if (!scratch->Settings()) {
    // A damaged file reads as no values, so it is replaced by a sound one.
    scratch = std::make_unique<TIniScratch>();
    if (!scratch->Load(QByteArray()) || !scratch->Settings()) return kErrorCantWrite;
  }
  scratch->Settings()->setValue(KeyOfName(name), value);
  QByteArray updated;
  if (!scratch->Save(updated)) return kErrorCantWrite;
  return CodeOfErrno(ReplaceFile(open.File, updated.toStdString()), kErrorCantWrite);
}

int TFileRegistry::WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes a new file beside the old one and renames it over the old one, so the path always
// names a whole file, the old or the new.
int TFileRegistry::ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat old {};
  if (stat(path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
  int error = WriteAll(fd, bytes.data(), bytes.size());
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    return error;
  }
  // Make the rename itself last through a crash.
  const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return 0;
}

TRegistryBackend& DefaultRegistry() {
  static TFileRegistry registry;
  return registry;
}

}  // namespace mosaicer
