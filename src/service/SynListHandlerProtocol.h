#pragma once

#include <cstdint>
#include <string>

#include "service/ServerRecord.h"

namespace ulmora {

class SynListingController;

// What a change listing reports (SynListingController). Order of one listing:
//   listingDidStart                          on the thread that started it
//   clearItems                               worker thread, after the engine exited
//   listingGotEventsOccurred (+ isTenMinutesListingCalled / resetTenminutesListing)
//                                            when the engine announced records
//   validateFiles or updateRefID             one per record
//   listingDidReceiveData                    change listing without error
//   listingDidFinishSuccessfully or listingDidFailWithError (once or twice)
//   listingDataProcessedComplete             always, as the last listing report
//   RetryListing                             error other than maintenance, or no data
//   PerformLoginAgainDueToAccountMaintanence maintenance or authentication error
// A cancel reports listingCompleted (engine running and records announced)
// and listingDidCancel on the cancelling thread; after those nothing more of
// that listing arrives.
//
// A report from the worker may call cancel() on the listing (it is not
// waited for); it must not wait for another thread that is inside cancel().
class SynListHandlerProtocol {
 public:
  virtual ~SynListHandlerProtocol() = default;

  virtual void listingDidStart(SynListingController& listing) = 0;
  // The highest index the listing saw.
  virtual void listingDidReceiveData(int64_t index) = 0;
  virtual void listingDidFinishSuccessfully(SynListingController& listing) = 0;
  virtual void listingDidFailWithError(const std::string& error, SynListingController& listing) = 0;
  virtual void listingDidRetry() {}
  virtual void listingDidReceiveErrors(const std::string& /*errors*/) {}
  virtual void listingDidCancel(SynListingController& listing) = 0;
  virtual void listingDataProcessedComplete(SynListingController& listing) = 0;
  // `operation`: ServerRecord::kCodeDeleted, kCodeRenamed or kCodeChanged.
  virtual void validateFiles(const ServerRecord& record, const std::string& operation) = 0;
  virtual void updateRefID(const ServerRecord& record, const std::string& operation) = 0;
  virtual void listingCompleted() {}
  virtual void listingGotEventsOccurred() {}
  virtual void RetryListing(SynListingController& listing) = 0;
  virtual void PerformLoginAgainDueToAccountMaintanence() {}

  // Asked of the sync controller by the listing itself.
  virtual void clearItems() {}
  virtual bool isTenMinutesListingCalled() { return false; }
  virtual void resetTenminutesListing() {}
};

}  // namespace ulmora
