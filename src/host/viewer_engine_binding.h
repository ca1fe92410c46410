#pragma once

// The real ViewerEngine behind the control's ControlEngine interface. The
// engine's frame sink is the control's deliverFrame(), so rendered frames
// reach the control's frame mailbox (vistel_control.h).
//
// Thread-safety: the factory and the engine it makes are used on the host
// thread, like the ViewerEngine itself.

#include <string>

#include "vistel/engine/viewer_engine.h"
#include "vistel/host/vistel_control.h"

namespace vistel {

// What a host may choose about the engine it gets.
struct ViewerEngineOptions {
  // Starts the engine's threads (below normal priority by default).
  ThreadStarter threadStarter = defaultThreadStarter();
  // Clock, pass sleep and reader factory; the defaults suit a window.
  EngineEnvironment environment;
  // Folder relative file:// pictures of loaded projects are read from;
  // empty: the current directory.
  std::string fileBase;
};

// A factory for VistelControl that makes a ViewerEngine delivering its
// frames to the control.
VistelControl::EngineFactory viewerEngineFactory(ViewerEngineOptions options = {});

}  // namespace vistel
