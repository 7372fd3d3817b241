#include "cli/Process.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <streambuf>

#include "cli/Cli.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"

namespace mosaicer {

namespace {

// Read by the signal handler, so plain lock-free atomics.
std::atomic<std::int64_t> CountBase{0};
std::atomic<std::int32_t> CountTotal{-1};
std::atomic<bool> CountNewline{false};

// Appends the decimal digits of value to buffer at pos; async-signal-safe.
void AppendNumber(char* buffer, std::size_t& pos, std::int64_t value) {
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) buffer[pos++] = digits[--n];
}

void AppendText(char* buffer, std::size_t& pos, const char* text) {
  while (*text) buffer[pos++] = *text++;
}

extern "C" void OnTermination(int signal) {
  RemovePendingTemporaryFile();
  const std::int32_t total = CountTotal.load();
  if (total >= 0) {
    std::int64_t written = PublishedFiles() - CountBase.load();
    if (written > total) written = total;  // the HTML file is published after the fragments
    char message[128];
    std::size_t pos = 0;
    if (CountNewline.load()) AppendText(message, pos, "\n");
    AppendText(message, pos, "Interrupted: ");
    AppendNumber(message, pos, written);
    AppendText(message, pos, " of ");
    AppendNumber(message, pos, total);
    AppendText(message, pos, " fragments were written\n");
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, message, pos);
  }
  ::_exit(128 + signal);
}

// Standard output straight on its descriptor, keeping the first failure's code, which a
// std::ostream forgets.
class TOutputBuffer : public std::streambuf {
public:
  explicit TOutputBuffer(int fd) : FFd(fd) { setp(FBuffer, FBuffer + sizeof FBuffer); }
  int Error() const { return FError; }

protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override {
    const char* from = pbase();
    while (from < pptr() && FError == 0) {
      const ssize_t n = ::write(FFd, from, static_cast<std::size_t>(pptr() - from));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) FError = n < 0 ? errno : EIO;
      else from += n;
    }
    setp(FBuffer, FBuffer + sizeof FBuffer);
    return FError == 0 ? 0 : -1;
  }

private:
  int FFd;
  int FError = 0;
  char FBuffer[65536];
};

}  // namespace

TFragmentCount::TFragmentCount(std::int32_t total, bool afterProgressLine) {
  CountNewline.store(afterProgressLine);
  CountBase.store(PublishedFiles());
  CountTotal.store(total);
}

TFragmentCount::~TFragmentCount() { CountTotal.store(-1); }

int RunProcess(const std::vector<std::string>& args) {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnTermination;
  sigemptyset(&action.sa_mask);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);

  std::ios::sync_with_stdio(false);
  TOutputBuffer buffer(STDOUT_FILENO);
  std::ostream out(&buffer);
  int code = RunCli(args, out, std::cerr, isatty(STDERR_FILENO) == 1);
  out.flush();
  if (buffer.Error() != 0) {
    std::cerr << MessageForDisplay("Cannot write to standard output. " + SysErrorMessage(buffer.Error())) << "\n";
    if (code == 0) code = 1;
  }
  return code;
}

}  // namespace mosaicer
