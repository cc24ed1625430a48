// Programs the operator names for a slot (a power switch, a label printer),
// run without a shell: the words are split once at set-up, and each run
// fills in the slot's values. Nothing a box or a port name contains is ever
// taken as a command: values only ever fill in whole words' parts.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

// The words of a command line: white space separates them, and single or
// double quotes keep white space inside a word (no other shell syntax:
// no variables, globs, pipes or redirections). False with the reason for an
// empty line or an unclosed quote.
bool CommandSplit(const std::string& text, std::vector<std::string>& words, std::string& reason);

// The words with every "{name}" of values replaced by its value; other
// braces stay as they are.
std::vector<std::string> CommandFill(const std::vector<std::string>& words,
                                     const std::map<std::string, std::string>& values);

// Runs the program (found on PATH when the first word has no path), input
// on its standard input, its standard output discarded. True when it exited
// with status 0 within limit. Otherwise false, with what went wrong in
// failure: "exit status 3", "killed by signal 9", "no exit within 10 s",
// "cannot run: REASON"; the last line it wrote on its standard error is
// added when there is one. A program still running at the limit is killed
// (with its process group on POSIX).
bool CommandRun(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds limit,
                std::string& failure);

// The last line of what a program wrote, without its line end: what a
// failure adds of its standard error.
std::string CommandLastLine(std::string text);

// "CMD" as the operator gave it, for a message: the words joined by spaces.
std::string CommandShown(const std::vector<std::string>& argv);
