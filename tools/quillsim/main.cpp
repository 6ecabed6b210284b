// quillsim: runs the Q417 firmware programmer on a simulated Windows PC.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "image_command.h"

namespace quillsim {

void AddImageCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ImageOptions>();
  CLI::App* command = app.add_subcommand("image", "Build the firmware image of a Flash ROM file");
  command->add_option("FILE", options->input, "Flash ROM file (Intel HEX)")->required();
  command->add_option("--output,-o", options->output, "Write the image bytes to this file");
  command->callback([options, &exitCode] { exitCode = RunImage(*options); });
}

}  // namespace quillsim

int main(int argc, char** argv) {
  // The plain image command needs no option parser: building the parser
  // for every command costs more than the image itself.
  quillsim::ImageOptions image;
  if (quillsim::ReadPlainImageCommand(argc, argv, image)) return quillsim::RunImage(image);
  if (!quillsim::MakeMachineFolder()) return 1;

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
