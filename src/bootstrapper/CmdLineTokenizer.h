// Splits a whole command line into tokens, keeping each token's processed
// text and its raw text as typed.
#pragma once

#include <string>

#include "common/StringLists.h"

namespace vt {

class TCmdLineTokenizer : public TObject {
 public:
  ~TCmdLineTokenizer() override = default;
  TCmdLineTokenizer(const TCmdLineTokenizer&) = delete;
  TCmdLineTokenizer& operator=(const TCmdLineTokenizer&) = delete;

  // Processed tokens in order (unsorted, case-insensitive).
  TStringListEx& Tokens() { return tokens_; }
  const TStringListEx& Tokens() const { return tokens_; }
  // The same tokens as they stand in the command line, quotes included.
  TStringListEx& RawTokens() { return raw_tokens_; }
  const TStringListEx& RawTokens() const { return raw_tokens_; }

 protected:
  TCmdLineTokenizer() : raw_tokens_(0), tokens_(0) {}
  // Appends one entry to each list per token.
  virtual void Tokenize(const std::string& command_line) = 0;

 private:
  TStringListEx raw_tokens_;
  TStringListEx tokens_;
};

// The argument rules of the compiler runtime for Windows programs.
class TCRTCmdLineTokenizer : public TCmdLineTokenizer {
 public:
  explicit TCRTCmdLineTokenizer(const std::string& command_line) { Tokenize(command_line); }

 protected:
  void Tokenize(const std::string& command_line) override;
};

}  // namespace vt
