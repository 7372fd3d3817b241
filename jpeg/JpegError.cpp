#include "jpeg/JpegError.h"

namespace mosaicer {

namespace {

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->Message);
  std::longjmp(err->Jump, 1);
}

void IgnoreMessage(j_common_ptr, int) {}

void RaiseWarning(j_common_ptr cinfo, int level) {
  if (level < 0) ErrorExit(cinfo);  // higher levels are trace output
}

void OutputMessage(j_common_ptr) {}

}  // namespace

jpeg_error_mgr* SetUpErrorManager(TJpegErrorManager& manager, TJpegWarnings warnings) {
  jpeg_error_mgr* pub = jpeg_std_error(&manager.Pub);
  manager.Message[0] = '\0';
  pub->error_exit = ErrorExit;
  pub->emit_message = warnings == TJpegWarnings::Raise ? RaiseWarning : IgnoreMessage;
  pub->output_message = OutputMessage;
  return pub;
}

std::string LibraryMessage(int code) {
  jpeg_error_mgr mgr {};
  jpeg_std_error(&mgr);
  jpeg_common_struct common {};
  common.err = &mgr;
  mgr.msg_code = code;
  char text[JMSG_LENGTH_MAX];
  (*mgr.format_message)(&common, text);
  return text;
}

}  // namespace mosaicer
