#pragma once

#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

class ScriptController;

// Reports of the account web-service client, on the run loop it was given
// (the main loop). Each method has an empty default: a delegate answers only
// what it cares about. A delegate may destroy the client inside a report.
class ScriptControllerDelegate {
 public:
  virtual ~ScriptControllerDelegate() = default;

  // The reply's attributes as one dictionary (QLXMLParserController::mergedItems).
  virtual void didScriptControllerFinishedSuccessfully(const PropertyList& reply,
                                                       ScriptController& client) {
    (void)reply;
    (void)client;
  }
  // No reply, or a reply with a status other than 2xx.
  virtual void connectionError(const std::string& error, ScriptController& client) {
    (void)error;
    (void)client;
  }
  // A 2xx reply that is not XML.
  virtual void parsingFailedWithError(const std::string& error, ScriptController& client) {
    (void)error;
    (void)client;
  }
};

}  // namespace ulmora
