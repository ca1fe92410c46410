#pragma once

// The embedding API in one include: the viewer control (VistelControl) and the
// HostUi a host implements, driving the real engine (viewerEngineFactory),
// load-time properties and presets, the project document, its loader and key
// texts, the clock and threads. The Qt widget is vistel/widget/vistel_widget.h
// (Vistel::widget).

#include "vistel/engine/viewer_engine.h"
#include "vistel/host/control_engine.h"
#include "vistel/host/frame_mailbox.h"
#include "vistel/host/host_ui.h"
#include "vistel/host/preset_text.h"
#include "vistel/host/property_bag.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/host/vistel_control.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/thread.h"
#include "vistel/project/document.h"
#include "vistel/project/encoding.h"
#include "vistel/project/project_holder.h"
