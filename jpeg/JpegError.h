// The one libjpeg error manager: the library's errors jump back to the setjmp of the short
// C-style step that called into it, with the library's text kept for the exception.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <string>

#include <jpeglib.h>

namespace mosaicer {

// A decoder reads on past damage (the library warns and goes on); an encoder must not write a
// file the library had doubts about.
enum class TJpegWarnings { Ignore, Raise };

struct TJpegErrorManager {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

// Fills manager and returns what goes into a compress or decompress object's err. Its
// error_exit formats the message into Message and longjmps to Jump, which the caller must have
// set with setjmp in a frame without C++ objects that need destroying.
jpeg_error_mgr* SetUpErrorManager(TJpegErrorManager& manager, TJpegWarnings warnings);

// The library's own text for a message code.
std::string LibraryMessage(int code);

}  // namespace mosaicer
