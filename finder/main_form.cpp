#include "finder/main_form.h"

#include <exception>

#include "platform/file_version.h"
#include "platform/message_loop.h"

namespace finder {

// Short enough to fit the label at the window's narrowest.
const char* const kNoticeText = "Connect the adapter to the car and the PC, then press Start.";
const char* const kInitialCaption = "Kelvane Finder";

std::string ReadFileVersion(const std::string& path) {
  return sio::platform::ReadFileVersion(path);
}

std::string VersionedCaption() {
  return "Kelvane Finder " + ReadFileVersion(sio::platform::ProgramFilePath());
}

TfrmMain::TfrmMain(TFinderView& view) : sio::TComponent(nullptr), view_(view) {
  log_.SetListener(&view_);
  caption_ = kInitialCaption;
  view_.SetCaption(caption_);

  // The stored layout: each component created with the loading flag set,
  // its stored properties assigned in creation order, then told it has
  // been loaded.
  SetName("frmMain");
  SioComPort_ = new sio::TSioComPort(this);
  SioComPort_->SetLoading();
  SioComPort_->SetName("SioComPort");
  SioComPort_->SetAutoOpen(false);
  SioComPort_->SetTraceName("SIO.TRC");
  SioComPort_->SetLogName("SIO.LOG");

  struct Stored {
    sio::TSioDataPacket** field;
    const char* name;
    const char* startString;
    int32_t timeOut;  // 0: the default
  };
  const Stored packets[] = {
      {&SioDataPacket1_, "SioDataPacket1", "KELVANE", 1},
      {&SioDataPacket2_, "SioDataPacket2", "OBDII to RS232 Interpreter", 0},
      {&SioDataPacket3_, "SioDataPacket3", "ELM327_CLONE", 0},
  };
  for (const Stored& s : packets) {
    auto* p = new sio::TSioDataPacket(this);
    p->SetLoading();
    p->SetName(s.name);
    p->SetEnabled(true);
    p->SetStartString(s.startString);
    p->SetComPort(SioComPort_);
    p->SetPacketSize(0);
    if (s.timeOut != 0) p->SetTimeOut(s.timeOut);
    *s.field = p;
  }
  SioDataPacket1_->SetOnPacket(sio::TPacketNotifyEvent::Of<&TfrmMain::SioDataPacket1Packet>(this));
  SioDataPacket2_->SetOnPacket(sio::TPacketNotifyEvent::Of<&TfrmMain::SioDataPacket2Packet>(this));
  SioDataPacket3_->SetOnPacket(sio::TPacketNotifyEvent::Of<&TfrmMain::SioDataPacket3Packet>(this));

  SioComPort_->Loaded();
  SioDataPacket1_->Loaded();
  SioDataPacket2_->Loaded();
  SioDataPacket3_->Loaded();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  // The components go first, while the controller their handlers reach
  // still exists (closing an open port can still deliver a packet).
  DestroyComponents();
  SioComPort_ = nullptr;
  SioDataPacket1_ = SioDataPacket2_ = SioDataPacket3_ = nullptr;
  log_.SetListener(nullptr);
}

sio::TSioDataPacket* TfrmMain::SioDataPacket(int index) const {
  switch (index) {
    case 1:
      return SioDataPacket1_;
    case 2:
      return SioDataPacket2_;
    case 3:
      return SioDataPacket3_;
    default:
      return nullptr;
  }
}

void TfrmMain::FormCreate() {
  caption_ = VersionedCaption();
  view_.SetCaption(caption_);
  controller_ = std::make_unique<TController>(SioComPort_, log_, *this);
}

void TfrmMain::ShowMessage(const std::string& text) {
  view_.ShowMessage(text);
}

void TfrmMain::btnStartClick(sio::TComponent*) {
  controller_->Search();
}

bool TfrmMain::StartClicked() {
  // The waits dispatch messages, so a second press could start a search
  // inside the first.
  if (searching_) return false;
  searching_ = true;
  view_.SetStartEnabled(false);
  bool completed = false;
  try {
    btnStartClick(this);
    completed = true;
  } catch (const std::exception& e) {
    view_.ShowError(e.what());
  } catch (...) {
    view_.ShowError("Unknown error");
  }
  searching_ = false;
  view_.SetStartEnabled(true);
  return completed;
}

void TfrmMain::RequestQuit(int exitCode) {
  sio::platform::PostQuit(exitCode);
}

void TfrmMain::SioDataPacket1Packet(sio::TComponent*, const void*, int32_t) {
  controller_->BannerSeen = true;
  controller_->NoteBanner();
}

void TfrmMain::SioDataPacket2Packet(sio::TComponent*, const void*, int32_t) {
  controller_->NeedsCloneTag = true;
  controller_->NoteInterpreter();
}

void TfrmMain::SioDataPacket3Packet(sio::TComponent*, const void*, int32_t) {
  controller_->NeedsCloneTag = false;
  controller_->NoteClone();
}

}  // namespace finder
