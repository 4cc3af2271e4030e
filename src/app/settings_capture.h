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

// Switches DECODE_PSI and PROC_EPG on (the tables the filtering window and the programme guide
// need) as the options dialog's OK stores settings: into `settings` and the application's own.
// Refused while connected, as the options dialog is ("接続中は設定変更できません" through
// `messages`). Returns true when switched on. UI thread.
bool SwitchOnTableProcessing(CaptureApp& app, Settings* settings, UserMessages& messages);

}  // namespace pelkan
