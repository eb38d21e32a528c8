// A pipe fed by a thread of its own: the reading end is a stream that
// cannot seek and does not know its size, as standard input or a socket.
#pragma once

#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/FileStreams.h"
#include "platform/Process.h"

namespace vt::test {

class TPipeFeed {
 public:
  // Write gets the writing end; the end is closed when it returns.
  explicit TPipeFeed(std::function<void(TStream&)> write) {
    os::IgnoreBrokenPipeSignal();  // a reader that stops early fails the writes
    int fds[2];
    if (::pipe(fds) != 0) throw EStreamError("pipe failed");
    in_ = std::make_unique<THandleStream>(fds[0]);
    writer_ = std::thread([fd = fds[1], write = std::move(write)] {
      THandleStream out(fd);
      try {
        write(out);
      } catch (const EStreamError&) {  // the reader let go
      }
    });
  }
  // The bytes, then the end of the stream.
  explicit TPipeFeed(std::string bytes)
      : TPipeFeed([bytes = std::move(bytes)](TStream& out) {
          out.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        }) {}
  ~TPipeFeed() {
    in_.reset();
    writer_.join();
  }
  TPipeFeed(const TPipeFeed&) = delete;
  TPipeFeed& operator=(const TPipeFeed&) = delete;

  THandleStream& In() { return *in_; }
  // What is left to read, up to the end.
  std::string Rest() {
    std::string rest;
    char buffer[4096];
    for (std::int64_t n; (n = in_->Read(buffer, sizeof buffer)) > 0;)
      rest.append(buffer, static_cast<std::size_t>(n));
    return rest;
  }

 private:
  std::unique_ptr<THandleStream> in_;
  std::thread writer_;
};

}  // namespace vt::test
