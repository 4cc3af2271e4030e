#pragma once

#include "app/settings.h"
#include "core/capture_app.h"

namespace pelkan {

// The one mapping between the settings file's record and the part of it the capture application
// holds while it runs. Every front-end takes the capture settings from here at start-up and puts
// them back before the settings are written.
CaptureSettings ToCaptureSettings(const Settings& settings);
// Copies every field of `capture` into its key of `settings`; the other keys stay as they are.
void StoreCaptureSettings(const CaptureSettings& capture, Settings* settings);

}  // namespace pelkan
