// The "Select Port" dialog's form: the list it offers, the modal run through
// the platform's dialog service, and the port number of the chosen entry.
#include "serial/port/com_select.h"

#include <charconv>
#include <cstdio>

#include "platform/ui.h"
#include "serial/port/port_check.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio {

static_assert(mrNone == platform::kModalNone && mrOk == platform::kModalOk &&
                  mrCancel == platform::kModalCancel && mrAbort == platform::kModalAbort,
              "the form's modal results are the dialog service's");

namespace {

constexpr uint32_t kHighestListedPort = 50;
// "COM" and the number; the number is read from the rest, up to this length.
constexpr size_t kPrefixLength = 3;
constexpr size_t kNumberLength = 255;

[[noreturn]] void RaiseNoPortChosen(const std::string& why) {
  throw ENoPortSelected(ecNoPortSelected, "No serial port was chosen: " + why);
}

}  // namespace

TComSelectForm::TComSelectForm(TComponent* owner) : TComponent(owner) {
  FormCreate();
}

TComSelectForm::~TComSelectForm() = default;

void TComSelectForm::FormCreate() {
  // Filling again starts afresh rather than listing every port twice.
  entries_.clear();
  for (uint32_t n = 1; n <= kHighestListedPort; ++n) {
    if (!PortExists(n)) continue;
    char entry[16];
    std::snprintf(entry, sizeof entry, "COM%u", static_cast<unsigned>(n));
    entries_.emplace_back(entry);
  }
  itemIndex_ = entries_.empty() ? -1 : 0;
}

const std::vector<std::string>& TComSelectForm::Entries() const {
  return entries_;
}

int32_t TComSelectForm::ItemIndex() const {
  return itemIndex_;
}

void TComSelectForm::SetItemIndex(int32_t index) {
  // As a list box does: an index outside the list selects nothing.
  itemIndex_ = (index >= 0 && static_cast<size_t>(index) < entries_.size()) ? index : -1;
}

int32_t TComSelectForm::ShowModal() {
  platform::PortDialogResult result;
  std::string whyNot;
  if (!platform::ShowSelectPortDialog(entries_, itemIndex_, result, whyNot)) {
    RaiseNoPortChosen(whyNot);
  }
  SetItemIndex(result.itemIndex);
  return result.modalResult;
}

uint32_t TComSelectForm::SelectedPortNumber() const {
  if (itemIndex_ < 0 || static_cast<size_t>(itemIndex_) >= entries_.size()) {
    RaiseNoPortChosen(entries_.empty() ? "the list of ports is empty"
                                       : "no entry of the list of ports is selected");
  }
  const std::string& entry = entries_[static_cast<size_t>(itemIndex_)];
  const std::string rest =
      entry.size() > kPrefixLength ? entry.substr(kPrefixLength, kNumberLength) : std::string();
  uint32_t number = 0;
  const char* end = rest.data() + rest.size();
  const auto [stop, error] = std::from_chars(rest.data(), end, number);
  if (rest.empty() || error != std::errc() || stop != end) {
    RaiseNoPortChosen("the entry \"" + entry + "\" names no port number");
  }
  return number;
}

}  // namespace sio
