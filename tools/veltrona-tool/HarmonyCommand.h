#pragma once
// "harmony CHORD PITCH": the close and wide harmony notes that a right-hand
// key PITCH gets under the chord symbol CHORD. argv[0] is the subcommand's name.
int harmonyCommand(int argc, char** argv);
