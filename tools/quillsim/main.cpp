// quillsim: runs the Q417 firmware programmer on a simulated Windows PC.
#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"quillsim: the Q417 firmware programmer on a simulated Windows PC"};
  app.require_subcommand(1);
  int exitCode = 0;
  quillsim::AddImageCommand(app, exitCode);
  quillsim::AddRunCommands(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return exitCode;
}
