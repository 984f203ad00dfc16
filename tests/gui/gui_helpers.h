// What the GUI tests share: the port table for a test, simulated devices,
// and a stand-in user who answers modal boxes and dialogs as they appear.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "tools/elm327-sim/elm327_sim.h"

namespace guitest {

// SIO_PORTS for as long as it lives.
class PortTable {
 public:
  explicit PortTable(const std::string& table) {
    const char* before = std::getenv("SIO_PORTS");
    hadTable_ = before != nullptr;
    if (hadTable_) saved_ = before;
    ::setenv("SIO_PORTS", table.c_str(), 1);
  }
  ~PortTable() {
    if (hadTable_) {
      ::setenv("SIO_PORTS", saved_.c_str(), 1);
    } else {
      ::unsetenv("SIO_PORTS");
    }
  }
  PortTable(const PortTable&) = delete;
  PortTable& operator=(const PortTable&) = delete;

 private:
  bool hadTable_ = false;
  std::string saved_;
};

inline std::unique_ptr<elmsim::Simulator> StartSim(elmsim::Options options, std::string& error) {
  auto sim = std::make_unique<elmsim::Simulator>(std::move(options));
  if (!sim->Start(error)) return nullptr;
  return sim;
}

// Every `intervalMs` while it lives (in whatever loop is running: Qt's, a
// modal box's, or our own waits), looks at the active modal widget and lets
// `act` answer it.
class ModalAnswerer {
 public:
  ModalAnswerer(int intervalMs, std::function<void(QWidget*)> act) : act_(std::move(act)) {
    timer_.setInterval(intervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (busy_) return;
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) return;
      busy_ = true;
      act_(modal);
      busy_ = false;
    });
    timer_.start();
  }

 private:
  std::function<void(QWidget*)> act_;
  QTimer timer_;
  bool busy_ = false;
};

}  // namespace guitest
