#pragma once

#include <mutex>
#include <string>

namespace ulmora::service {

// The control file that makes the stand-in fail the way the real service
// fails. One fault a line, "#" starts a comment; read again for every request
// (and every 100 ms for "refuse"), so a test changes the behaviour of a
// running service by rewriting the file. A missing file means no faults.
//
//   maintenance        every endpoint answers 503 "Service is under maintenance"
//   poll-ends-at-once  a subscribe is answered 200 with an empty body at once
//   slow N             every reply waits N seconds (at most 3600) first
//   refuse             connections are refused (the port stays reserved)
//   bad-xml            the XML endpoints answer with text that is not XML
struct FaultSet {
  bool maintenance = false;
  bool pollEndsAtOnce = false;
  int slowSeconds = 0;
  bool refuse = false;
  bool badXml = false;
};

class ServiceFaults {
 public:
  explicit ServiceFaults(std::string path) : path_(std::move(path)) {}
  // Thread-safety: any thread.
  FaultSet read() const;
  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  mutable std::mutex mu_;
  mutable std::string lastText_;  // unknown lines are reported once per change
};

// Parses the text of a control file; with `warn`, unknown lines are reported
// on stderr.
FaultSet parseFaults(const std::string& text, bool warn);

}  // namespace ulmora::service
