// resgen: draws quillprog's icon and progress clip and writes them as
// quillprog.ico and progress.avi into the folder given.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "file_formats.h"
#include "pictures.h"

namespace {

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "resgen: cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: resgen <output folder>\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);

  const resgen::Palette& palette = resgen::StandardPalette();
  const resgen::IconPicture icon = resgen::DrawProgramIcon();
  const bool ok =
      WriteFile(folder / "quillprog.ico", resgen::WriteIconFile(icon.image, icon.mask, palette)) &&
      WriteFile(folder / "progress.avi", resgen::WriteRle8Avi(resgen::DrawProgressClip(), palette,
                                                              resgen::kClipFramesPerSecond));
  return ok ? 0 : 1;
}
