#include "store/event_store.h"

#include <algorithm>
#include <cstring>

#include "store/words.h"

namespace tq::store {

namespace {

// A record in the spill area: the event id's size and bytes (the sort reads
// them back only when two ids share their first eight bytes), where the
// sequence number goes in the body, and the body, the event's bytes in its
// document.
struct Record {
  std::string_view id;
  std::string_view body;
  size_t mark = 0;  // where in the body the sequence goes
};

Record read_record(std::string_view bytes) {
  const uint32_t id_size = word_at(bytes, 0);
  const uint32_t mark = word_at(bytes, kWordSize + id_size);
  return {bytes.substr(kWordSize, id_size), bytes.substr(2 * kWordSize + id_size), mark};
}

// What an event taken unstamped holds as its digest until its file's is
// known: as long as a digest, and written as one in every format.
constexpr std::string_view kDigestPlaceholder =
    "0000000000000000000000000000000000000000000000000000000000000000";
static_assert(kDigestPlaceholder.size() == 64);
static_assert(kField<TimelineEvent, 4>.name == "source_file_sha256");

// How many bytes of records are gathered before they are appended: as many
// as the spill area writes at once, so that it writes them as they are.
constexpr size_t kRecordsPerAppend = kSpillWriteBatch;

// How many bytes of records the writer reads from the spill area at a time:
// enough that reads are few and large, few enough to stay in the caches.
constexpr size_t kReadBatchBytes = size_t{4} << 20;

}  // namespace

EventStore::EventStore(Format format, const RenderOptions& options, size_t memory_budget)
    : format_(format), options_(options), spill_(memory_budget) {
  starts_.push_back(0);
}

Status EventStore::take(EventList&& events) { return keep(std::move(events), false); }

Status EventStore::take_unstamped(EventList&& events) { return keep(std::move(events), true); }

Status EventStore::stamp(std::string_view sha256) {
  if (sha256.size() != kDigestPlaceholder.size()) {
    return std::unexpected(Error::internal("A file's digest is not 64 hexadecimal digits."));
  }
  // The offsets ascend: those past the area's end lie in records still
  // gathered here, and the digest is put in place there.
  const auto gathered = std::lower_bound(unstamped_.begin(), unstamped_.end(), spill_.size());
  TQ_CHECK(spill_.overwrite_each(std::span(unstamped_.begin(), gathered), sha256));
  for (auto at = gathered; at != unstamped_.end(); ++at) {
    std::memcpy(records_.data() + (*at - spill_.size()), sha256.data(), sha256.size());
  }
  unstamped_.clear();
  return {};
}

Status EventStore::keep(EventList&& events, bool unstamped) {
  // The events are freed on leaving, as their reader is done with them.
  EventList taken = std::move(events);
  if (!renderer_) {
    TQ_TRY(EventRenderer renderer, EventRenderer::make(format_, options_));
    renderer_.emplace(std::move(renderer));
  }
  for (TimelineEvent& e : taken) {
    const uint64_t base = spill_.size();  // where records_ will lie in the spill area
    if (e.event_id.size() > UINT32_MAX) {
      return std::unexpected(Error::argument("An event id is longer than 4 GiB."));
    }
    TQ_CHECK(keys_.add(e));
    put_word(records_, static_cast<uint32_t>(e.event_id.size()));
    records_.append(e.event_id);
    const size_t mark_at = records_.size();
    put_word(records_, 0);
    const size_t body_at = records_.size();
    if (unstamped) {
      static const Shared<std::string> kPlaceholder(std::string{kDigestPlaceholder});
      e.source_file_sha256 = kPlaceholder;
    }
    const size_t mark = renderer_->render(e, records_);
    const auto mark_word = static_cast<uint32_t>(mark);
    std::memcpy(records_.data() + mark_at, &mark_word, kWordSize);
    if (unstamped) {
      // The digest is written before any text of the evidence (model.h
      // holds it among the first fields), so the first placeholder after
      // the sequence is the digest's.
      const size_t at = records_.find(kDigestPlaceholder, body_at + mark);
      if (at == std::string::npos) {
        return std::unexpected(Error::internal("An event's digest has no place in its bytes."));
      }
      unstamped_.push_back(base + at);
    }
    starts_.push_back(base + records_.size());
    // Records go on a batch at a time, those of small files together and a
    // large file's as they are made, so that they are never held whole here
    // besides.
    if (records_.size() >= kRecordsPerAppend) TQ_CHECK(append_records());
  }
  return {};
}

Status EventStore::append_records() {
  TQ_TRY(const uint64_t appended_at, spill_.append(records_));
  (void)appended_at;  // the starts were counted from the area's size
  records_.clear();
  return {};
}

Status EventStore::sort(ParseMonitor* monitor) {
  TQ_CHECK(append_records());
  std::string record;
  auto whole_ids = [this, &record](size_t i, std::string& scratch) -> Result<std::string_view> {
    record.resize(starts_[i + 1] - starts_[i]);
    TQ_CHECK(spill_.read(starts_[i], record.size(), record.data()));
    scratch.assign(read_record(record).id);
    return std::string_view(scratch);
  };
  TQ_TRY(order_, keys_.sort(monitor, whole_ids));
  sorted_ = true;
  return {};
}

// The sorted events as rows of the format's document: their records read
// from the spill area a batch at a time, in document order.
class EventStore::Rows final : public EventRows {
 public:
  explicit Rows(const EventStore& store) : store_(store) {}

  size_t size() const override { return store_.order_.size(); }

  Status write_row(size_t i, OutputSink& sink) override {
    if (i >= batch_end_) TQ_CHECK(read_batch(i));
    const Record record = read_record(std::string_view(bytes_).substr(
        offsets_[i - batch_start_], offsets_[i - batch_start_ + 1] - offsets_[i - batch_start_]));
    write_numbered(sink, record.body, record.mark, i);
    return {};
  }

 private:
  Status read_batch(size_t from) {
    ranges_.clear();
    offsets_.assign(1, 0);
    size_t bytes = 0;
    size_t i = from;
    for (; i < store_.order_.size() && (i == from || bytes < kReadBatchBytes); ++i) {
      const uint32_t at = store_.order_[i];
      const size_t size = store_.starts_[at + 1] - store_.starts_[at];
      ranges_.push_back(Range{store_.starts_[at], size});
      bytes += size;
      offsets_.push_back(bytes);
    }
    bytes_.clear();
    TQ_CHECK(store_.spill_.read_many(ranges_, bytes_));
    batch_start_ = from;
    batch_end_ = i;
    return {};
  }

  const EventStore& store_;
  std::vector<Range> ranges_;
  std::vector<size_t> offsets_;  // of each record of the batch in bytes_, and its end
  std::string bytes_;
  size_t batch_start_ = 0;
  size_t batch_end_ = 0;
};

Status EventStore::write(std::span<const Diagnostic> diagnostics, OutputTarget target) const {
  if (!sorted_) {
    return std::unexpected(
        Error::internal("The store's events are written before they are sorted."));
  }
  Rows rows(*this);
  return render(rows, diagnostics, format_, target, options_);
}

}  // namespace tq::store
