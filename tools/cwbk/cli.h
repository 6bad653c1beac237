// Shared pieces of the cwbk command-line tool: the usage error, argument walking and the commands.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace cwbk::cli {

// A command line the tool cannot follow; main prints it as one line with a hint to --help.
class UsageError : public std::runtime_error {
public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// The arguments after the command name, consumed from the front.
class Arguments {
public:
  explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
  bool empty() const { return at_ >= args_.size(); }
  // Returns the next argument and consumes it.
  std::string next() { return args_.at(at_++); }
  // Returns the value of an option that takes one (`--set X`); throws when it is missing.
  std::string value(const std::string& option) {
    if (empty()) throw UsageError(option + " needs a value");
    return next();
  }

private:
  std::vector<std::string> args_;
  size_t at_ = 0;
};

// Each command returns the process exit status; errors are thrown (UsageError or any std::exception).
int runCompile(Arguments args);
int runDump(Arguments args);
int runCalc(Arguments args);

extern const char* const kCompileHelp;
extern const char* const kDumpHelp;
extern const char* const kCalcHelp;

// Prints a progress line on stderr when it is a terminal (long loads).
void progress(const std::string& text);

} // namespace cwbk::cli
