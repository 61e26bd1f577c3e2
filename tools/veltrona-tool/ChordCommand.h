#pragma once
// "chord METHOD NOTE...": the chord that recognition method METHOD (0-6)
// installs for the given held keys. argv[0] is the subcommand's name.
int chordCommand(int argc, char** argv);
