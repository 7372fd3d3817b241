#include "runtime/Exceptions.h"

#include <cstring>

namespace mosaicer {

EInvalidGraphic EInvalidGraphic::UnknownExtension(const std::string& extension) {
  return EInvalidGraphic("Unknown picture file extension (." + extension + ")");
}

EFOpenError::EFOpenError(const std::string& path, int errorCode)
    : Exception("Cannot open file \"" + path + "\". " + SysErrorMessage(errorCode)) {}

EFCreateError::EFCreateError(const std::string& path, int errorCode)
    : Exception("Cannot create file \"" + path + "\". " + SysErrorMessage(errorCode)) {}

EJPEG::EJPEG(int messageCode)
    : Exception("JPEG error #" + std::to_string(messageCode)), FMessageCode(messageCode) {}

EJPEG::EJPEG(int messageCode, std::string detail)
    : Exception("JPEG error #" + std::to_string(messageCode), std::move(detail)), FMessageCode(messageCode) {}

EInvalidOperation::EInvalidOperation() : Exception("Canvas does not allow drawing") {}

EInvalidOp::EInvalidOp() : Exception("Invalid floating point operation") {}

EListError::EListError(int index) : Exception("List index out of bounds (" + std::to_string(index) + ")") {}

std::string SysErrorMessage(int errorCode) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in the buffer.
  const char* text = strerror_r(errorCode, buffer, sizeof buffer);
  return text;
}

std::string MessageForDisplay(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}

}  // namespace mosaicer
