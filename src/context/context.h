// File: context/context.h
//
// What one parse runs with: the caller's option values, and the state of this
// call that the readers share but the caller's values must not carry (where
// the evidence ends, who watches, where files are accounted for). The values
// stay the caller's, unchanged; what the call sets up for itself (its own
// evidence scope, a monitor that knows the listing's totals) goes into a
// context of its own, never into the options.
//
//   ParserOptions options;                      // the caller's values
//   options.workers = 4;
//   Counter monitor;                            // context/monitor.h
//   Result<ParseReport> report = parse_path(path, {options, nullptr, &monitor});
//
// Readers take the context by const reference and pass it on. Nothing in it is
// owned: the caller keeps the options, the scope, the monitor and the accounts
// alive for the whole call (options braced into a call's argument live just as
// long as that call, so a context kept in a variable names options that are).
#pragma once

#include <vector>

#include "context/coverage.h"
#include "context/monitor.h"
#include "context/options.h"
#include "context/sink.h"

namespace tq {

class EvidenceScope;  // files/evidence.h

struct ParseContext {
  // The defaults serve a reader called on its own.
  const ParserOptions& options = kDefaultParserOptions;
  // Where the evidence ends and what was read of it; readers open files and
  // walk through it. The driver gives each call one when the caller hasn't;
  // null only where a reader is used on its own, unbounded.
  EvidenceScope* scope = nullptr;
  ParseMonitor* monitor = nullptr;  // null: nobody watches
  // When set, the parse accounts here for every file under the profile roots
  // (or the input) it read, in path order.
  std::vector<FileAccount>* accounts = nullptr;
  // When set, the events go here instead of into the report, as readers are
  // done with them (reading/hand_off.h); the report then holds only the
  // diagnostics. The parse neither ties nor links them then: a sink that
  // keeps the events of a parse with transcripts links them itself, once
  // they are in order (store/compact_events.h).
  EventSink* sink = nullptr;

  bool strict() const { return options.strict(); }
};

}  // namespace tq
