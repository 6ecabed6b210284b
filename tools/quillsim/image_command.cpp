#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "commands.h"
#include "download_format.h"
#include "flash_file_explainer.h"
#include "flash_image.h"
#include "user_messages.h"

namespace quillsim {
namespace {

struct ImageOptions {
  std::string input;
  std::string output;
};

bool WriteImage(FlashImage image, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const FlashBlock* block = image; block != nullptr && out; block = block->Next) {
    out.write(reinterpret_cast<const char*>(block->Data), block->FillCount);
  }
  return static_cast<bool>(out);
}

// Why the file is refused, as "FILE:LINE:COLUMN: reason"; the dialog's
// message when the text itself is sound (the temporary file failed).
void ExplainRefusal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(FlashFileBytesThatMatter, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const FlashFileReading reading = ExplainFlashFile(text);
  if (!reading.refusal) {
    std::cerr << MessageImageNotBuilt << '\n';
    return;
  }
  const FlashFileRefusal& refusal = *reading.refusal;
  std::cerr << path << ':' << refusal.line << ':' << refusal.column << ": " << refusal.reason
            << '\n';
}

int RunImage(const ImageOptions& options) {
  // The same open check as the Program button, then the same build.
  // A folder opens on the host, and would be read as an empty file.
  std::error_code error;
  if (std::filesystem::is_directory(options.input, error)) {
    std::cerr << options.input << ": a folder, not a Flash ROM file\n";
    return 1;
  }
  FILE* probe = std::fopen(options.input.c_str(), "rb");
  if (probe == nullptr) {
    std::cerr << MessageFileCannotBeOpened << '\n';
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
  std::printf("length: %u\nblocks: %u (%u of %u bytes", length, blocks, full, FlashBlockSize);
  if (full != blocks) {
    if (last == 0) {
      std::printf(" and an empty last block, sent as a zero-length request");
    } else {
      std::printf(" and a last block of %u bytes", last);
    }
  }
  std::printf(")\nrange: %u\nheader:", DownloadProgressRange(length));
  for (BYTE byte : header) {
    std::printf(" %02X", byte);
  }
  std::printf("\n");

  int exitCode = 0;
  if (!options.output.empty() && !WriteImage(image, options.output)) {
    std::cerr << "cannot write " << options.output << '\n';
    exitCode = 1;
  }
  FreeFlashImage(image);
  return exitCode;
}

}  // namespace

void AddImageCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ImageOptions>();
  CLI::App* command = app.add_subcommand("image", "Build the firmware image of a Flash ROM file");
  command->add_option("FILE", options->input, "Flash ROM file (Intel HEX)")->required();
  command->add_option("--output,-o", options->output, "Write the image bytes to this file");
  command->callback([options, &exitCode] { exitCode = RunImage(*options); });
}

}  // namespace quillsim
