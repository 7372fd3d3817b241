// The exception kinds that travel from the core up to the window, each with its fixed text.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace mosaicer {

class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  Exception(const std::string& message, std::string detail)
      : std::runtime_error(message), FDetail(std::move(detail)) {}

  // A library's own explanation of a failure that has a code, or empty.
  const std::string& Detail() const { return FDetail; }

private:
  std::string FDetail;
};

// "Unknown picture file extension (.%s)"
class EInvalidGraphic : public Exception {
public:
  static EInvalidGraphic UnknownExtension(const std::string& extension);
  using Exception::Exception;
};

// "Cannot open file "%s". %s"
class EFOpenError : public Exception {
public:
  EFOpenError(const std::string& path, int errorCode);
};

// "Cannot create file "%s". %s"
class EFCreateError : public Exception {
public:
  EFCreateError(const std::string& path, int errorCode);
};

// "JPEG error #%d", raised while decoding; the library's text for the code is the detail.
class EJPEG : public Exception {
public:
  explicit EJPEG(int messageCode);
  EJPEG(int messageCode, std::string detail);
  int MessageCode() const { return FMessageCode; }

private:
  int FMessageCode;
};

// The JPEG library's own formatted message, raised while encoding.
class EJPEGException : public Exception {
public:
  using Exception::Exception;
};

// A large step that would take more memory than the process may still use, refused before it
// allocates; also an allocation that failed anyway.
class EOutOfMemory : public Exception {
public:
  using Exception::Exception;
};

// "Canvas does not allow drawing"
class EInvalidOperation : public Exception {
public:
  EInvalidOperation();
  using Exception::Exception;
};

// Arithmetic that has no result, such as the square root of a negative count.
class EInvalidOp : public Exception {
public:
  EInvalidOp();
};

// An index outside a list.
class EListError : public Exception {
public:
  explicit EListError(int index);
};

// A division that cannot give every chunk at least one pixel each way.
class EBreakupError : public Exception {
public:
  using Exception::Exception;
};

inline constexpr const char* kAllocateDIBText = "Can't allocate the DIB handle";

// The operating system's text for an error number.
std::string SysErrorMessage(int errorCode);

// The text a message box or the command-line tool shows for a failure: the message, with "."
// appended when its last character sorts after ".".
std::string MessageForDisplay(const std::string& message);

}  // namespace mosaicer
