// The "Select Port" dialog: lists the present ports (1 to 50) and lets the
// user pick one. The window itself is a platform service (platform/ui):
// built in on Windows, installed by the front-end on Linux.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../support/component.h"

namespace sio {

// Modal results of the dialog.
constexpr int32_t mrNone = 0;
constexpr int32_t mrOk = 1;      // OK
constexpr int32_t mrCancel = 2;  // the close box
constexpr int32_t mrAbort = 3;   // the Cancel button

// The dialog's form: the present ports' entries and the one selected.
class TComSelectForm : public TComponent {
 public:
  // Creates the form and runs FormCreate, which fills the list.
  explicit TComSelectForm(TComponent* owner = nullptr);
  ~TComSelectForm() override;

  // "COM" + n for every present port n from 1 to 50, in ascending order;
  // the first entry selected, nothing selected when the list is empty.
  void FormCreate();

  // The list's entries.
  const std::vector<std::string>& Entries() const;
  //@{
  // The selected entry's index; -1: nothing selected. An index outside the
  // list selects nothing.
  [[nodiscard]] int32_t ItemIndex() const;
  void SetItemIndex(int32_t index);
  //@}

  // Shows the dialog modally through the installed dialog service and
  // returns its modal result (mrOk, or mrAbort for Cancel, mrCancel for the
  // close box); the entry selected when it closed becomes ItemIndex. Raises
  // ENoPortSelected (-2011), saying that no port was chosen and why, when no
  // dialog service is installed or the dialog cannot be shown.
  [[nodiscard]] int32_t ShowModal();

  // The port number of the selected entry; raises ENoPortSelected (-2011)
  // when nothing is selected (OK on an empty list).
  uint32_t SelectedPortNumber() const;

 private:
  std::vector<std::string> entries_;
  int32_t itemIndex_ = -1;
};

}  // namespace sio
