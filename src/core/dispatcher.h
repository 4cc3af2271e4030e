#pragma once

// The capture application's name for the posted-task interface, which lives in platform/.
#include "platform/dispatcher.h"
