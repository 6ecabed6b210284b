// The plain `quillsim image` command line, run from .preinit_array: before
// the static constructors of quillsim, winsim, CLI11 and the C++ library
// (the standard streams and their locales among them), none of which the
// image command uses; together they were about a twentieth of its CPU time
// (docs/performance.md). Linked into the static executable only: glibc has
// set up its heap, stdio and thread-local storage by then, whereas in a
// dynamically linked build (the sanitizers') this would run before the
// shared libraries' own initialisation; main() takes the line there.
//
// So everything the image command reaches must work before dynamic
// initialisation: constant-initialised globals and function-local statics,
// never a namespace-scope object with a constructor of its own.
#include <cstdlib>

#include "image_command.h"

namespace {

void RunPlainImageCommandFirst(int argc, char** argv, char** /*environment*/) {
  int status = 0;
  {
    quillsim::ImageOptions image;
    if (!quillsim::ReadPlainImageCommand(argc, argv, image)) return;
    status = quillsim::RunImage(image);
  }
  std::exit(status);  // the function-local statics it made are destroyed here
}

[[gnu::section(".preinit_array"),
  gnu::used]] void (*runPlainImageCommandFirst)(int, char**, char**) = RunPlainImageCommandFirst;

}  // namespace
