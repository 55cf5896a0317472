// How the simulation reads a shell command line to keep the host's platform
// tools out of reach.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The words that stand in command position in a shell command line, in
// order (quotes removed): the first word of every simple command of every
// pipeline, list and substitution, after variable assignments and a few
// prefix words (exec, command, env, nohup, time, !).
std::vector<std::string> sim_command_words(std::string_view cmd);

// The first platform tool (abctl, marvane_dev_info, ubidetach, mount,
// umount, df, reboot) that the command line names as a command and that is
// not an executable of ROOT/bin, or that it names by a path other than
// ROOT/bin/TOOL. Empty when there is none.
std::string sim_missing_platform_tool(std::string_view cmd, const std::string& root);
