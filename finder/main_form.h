// The finder's main form: the status log, the Start button, the one serial
// port component the search uses and the three packet matchers that
// recognise the devices' replies. It decides nothing itself: Start hands
// over to the controller, and the packet handlers only set its flags. It
// reaches its window only through a TFinderView.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "finder/controller.h"
#include "finder/status_log.h"
#include "finder/view.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "serial/support/component.h"

namespace finder {

// The one-line notice along the bottom of the window.
extern const char* const kNoticeText;
// The caption before FormCreate sets the versioned one.
extern const char* const kInitialCaption;

class TfrmMain : public sio::TComponent, public TMessageBoxes {
 public:
  // Creates the components as the stored layout does, then runs FormCreate.
  explicit TfrmMain(TFinderView& view);
  ~TfrmMain() override;

  void FormCreate();
  // "Kelvane Finder " and the file version of the running program.
  const std::string& Caption() const { return caption_; }

  // The Start button was pressed. A press while a search runs is ignored.
  // An exception that ends the search goes to the view's error report;
  // false then (and for an ignored press).
  bool StartClicked();
  bool Searching() const { return searching_; }
  // The window is to close: during a search the remaining waits are cut
  // short (the quit request ends every wait) and the search runs out with
  // every port closed; the caller closes the window once Searching() is
  // false.
  void RequestQuit(int exitCode);

  TStatusLog& StatusLog() { return log_; }
  TController& Controller() { return *controller_; }
  sio::TSioComPort* SioComPort() const { return SioComPort_; }
  sio::TSioDataPacket* SioDataPacket(int index) const;

 private:
  void btnStartClick(sio::TComponent* Sender);
  void SioDataPacket1Packet(sio::TComponent* Sender, const void* Data, int32_t Size);
  void SioDataPacket2Packet(sio::TComponent* Sender, const void* Data, int32_t Size);
  void SioDataPacket3Packet(sio::TComponent* Sender, const void* Data, int32_t Size);

 public:
  void ShowMessage(const std::string& text) override;

 private:
  // All on the user-interface thread: the form, its components and the
  // search live there, and the packet handlers run there too.
  TFinderView& view_;
  TStatusLog log_;
  std::string caption_;
  sio::TSioComPort* SioComPort_ = nullptr;  // owned as components of the form
  sio::TSioDataPacket* SioDataPacket1_ = nullptr;
  sio::TSioDataPacket* SioDataPacket2_ = nullptr;
  sio::TSioDataPacket* SioDataPacket3_ = nullptr;
  std::unique_ptr<TController> controller_;
  bool searching_ = false;
};

// The text of the file version in the running program's version
// information; empty when there is none.
std::string ReadFileVersion(const std::string& path);

// "Kelvane Finder " and the running program's file version: the caption
// FormCreate gives the window, and what --version prints.
std::string VersionedCaption();

}  // namespace finder
