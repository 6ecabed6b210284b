// `quillsim image`: no option parser, iostreams or filesystem library on
// this path; it is measured against single-purpose tools (docs/performance.md).
#include "image_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <cstring>

#include "download_format.h"
#include "flash_file_explainer.h"
#include "flash_image.h"
#include "machine/machine_disk.h"
#include "user_messages.h"

namespace quillsim {
namespace {

// Every block of the chain in one writev: at most 257 blocks, well under
// IOV_MAX. A short write goes on from where it stopped. An existing file is
// written over and then cut to the image's length, not emptied first: on a
// journalling file system (ext4), emptying a file and writing it again
// frees and allocates its blocks and starts writing it back at close: about
// a tenth of the whole command's CPU time. Rebuilding an image to the same
// file usually writes the same length.
bool WriteImage(const FlashBlock* image, const std::string& path) {
  constexpr unsigned kMaxBlocks = MaxFlashImageLength / FlashBlockSize + 1;
  iovec parts[kMaxBlocks];
  int count = 0;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    if (block->FillCount == 0) continue;
    if (count == static_cast<int>(kMaxBlocks)) return false;
    parts[count++] = {const_cast<BYTE*>(block->Data), block->FillCount};
  }
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (file < 0) return false;
  off_t length = 0;
  for (int i = 0; i < count; ++i) length += static_cast<off_t>(parts[i].iov_len);
  iovec* next = parts;
  bool written = true;
  while (count > 0) {
    ssize_t done = writev(file, next, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      written = false;
      break;
    }
    while (count > 0 && static_cast<size_t>(done) >= next->iov_len) {
      done -= static_cast<ssize_t>(next->iov_len);
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= static_cast<size_t>(done);
    }
  }
  struct stat status;
  if (written && fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > length) {
    written = ftruncate(file, length) == 0;
  }
  return close(file) == 0 && written;
}

// Why the file is refused, as "FILE:LINE:COLUMN: reason"; the dialog's
// message when the text itself is sound (the temporary file failed).
void ExplainRefusal(const std::string& path) {
  std::string text(FlashFileBytesThatMatter, '\0');
  size_t size = 0;
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    size = std::fread(text.data(), 1, text.size(), in);
    std::fclose(in);
  }
  text.resize(size);
  const FlashFileReading reading = ExplainFlashFile(text);
  if (!reading.refusal) {
    std::fprintf(stderr, "%s\n", MessageImageNotBuilt);
    return;
  }
  const FlashFileRefusal& refusal = *reading.refusal;
  std::fprintf(stderr, "%s:%u:%u: %s\n", path.c_str(), refusal.line, refusal.column,
               refusal.reason.c_str());
}

// What the command prints, written with one write(2): standard output's
// stream would first ask the file what it is (fstat, a terminal's ioctl) and
// allocate its buffer.
class Report {
 public:
  [[gnu::format(printf, 2, 3)]] void Add(const char* format, ...) {
    va_list values;
    va_start(values, format);
    const int added = std::vsnprintf(text_ + used_, sizeof text_ - used_, format, values);
    va_end(values);
    if (added > 0) used_ = std::min(sizeof text_ - 1, used_ + static_cast<size_t>(added));
  }
  void Print() const {
    size_t done = 0;
    while (done < used_) {
      const ssize_t written = write(STDOUT_FILENO, text_ + done, used_ - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      done += static_cast<size_t>(written);
    }
  }

 private:
  char text_[256];
  size_t used_ = 0;
};

// The value of --output written as one argument, or null.
const char* OutputInline(const char* arg) {
  constexpr char kOutputIs[] = "--output=";
  return std::strncmp(arg, kOutputIs, sizeof kOutputIs - 1) == 0 ? arg + sizeof kOutputIs - 1
                                                                 : nullptr;
}

}  // namespace

bool ReadPlainImageCommand(int argc, const char* const* argv, ImageOptions& options) {
  if (argc < 3 || std::strcmp(argv[1], "image") != 0) return false;
  bool haveInput = false;
  bool haveOutput = false;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    const char* output = nullptr;
    if (std::strcmp(arg, "--output") == 0 || std::strcmp(arg, "-o") == 0) {
      if (i + 1 == argc) return false;
      output = argv[++i];  // taken whatever it is, as the option parser takes it
    } else if ((output = OutputInline(arg)) == nullptr) {
      if (arg[0] == '-' || arg[0] == '\0' || haveInput) return false;
      options.input = arg;
      haveInput = true;
      continue;
    }
    if (output[0] == '\0' || haveOutput) return false;
    options.output = output;
    haveOutput = true;
  }
  return haveInput;
}

bool MakeMachineFolder() {
  try {
    winsim::MachineFolder();
    return true;
  } catch (const std::exception& error) {
    const char* temporary = std::getenv("TMPDIR");
    std::fprintf(stderr, "quillsim: cannot make the machine's folder (TMPDIR=%s): %s\n",
                 temporary != nullptr ? temporary : "", error.what());
    return false;
  }
}

int RunImage(const ImageOptions& options) {
  if (!MakeMachineFolder()) return 1;
  // The same open check as the Program button, then the same build.
  // A folder opens on the host, and would be read as an empty file.
  struct stat status;
  if (stat(options.input.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fprintf(stderr, "%s: a folder, not a Flash ROM file\n", options.input.c_str());
    return 1;
  }
  FILE* probe = std::fopen(options.input.c_str(), "rb");
  if (probe == nullptr) {
    std::fprintf(stderr, "%s\n", MessageFileCannotBeOpened);
    return 1;
  }
  std::fclose(probe);

  FlashImage image = BuildFlashImage(options.input.c_str());
  if (image == nullptr) {
    ExplainRefusal(options.input);
    return 1;
  }

  const UINT32 length = FlashImageLength(image);
  BYTE header[HeaderCommandSize];
  BuildHeaderCommand(length, header);
  // The blocks as the worker sends them: an image whose length is a
  // multiple of 256 ends with an empty block, sent as a zero-length request.
  UINT32 full = 0;
  UINT32 last = 0;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    full += block->FillCount == FlashBlockSize ? 1 : 0;
    last = block->FillCount;
  }
  const UINT32 blocks = FlashImageBlockCount(image);
  Report report;
  report.Add("length: %u\nblocks: %u (%u of %u bytes", length, blocks, full, FlashBlockSize);
  if (full != blocks) {
    if (last == 0) {
      report.Add(" and an empty last block, sent as a zero-length request");
    } else {
      report.Add(" and a last block of %u bytes", last);
    }
  }
  report.Add(")\nrange: %u\nheader:", DownloadProgressRange(length));
  for (BYTE byte : header) {
    report.Add(" %02X", byte);
  }
  report.Add("\n");
  report.Print();

  int exitCode = 0;
  if (!options.output.empty() && !WriteImage(image, options.output)) {
    std::fprintf(stderr, "cannot write %s\n", options.output.c_str());
    exitCode = 1;
  }
  FreeFlashImage(image);
  return exitCode;
}

}  // namespace quillsim
