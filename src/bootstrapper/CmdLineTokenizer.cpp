#include "bootstrapper/CmdLineTokenizer.h"

#include "platform/CommandLine.h"

namespace vt {

void TCRTCmdLineTokenizer::Tokenize(const std::string& command_line) {
  for (const auto& token : os::SplitCommandLine(command_line)) {
    Tokens().Add(token.text);
    RawTokens().Add(token.raw);
  }
}

}  // namespace vt
