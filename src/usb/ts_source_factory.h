#pragma once

#include <memory>

#include "usb/ts_source.h"

namespace pelkan::usb {

// The stream the virtual tuner plays when no file is named.
std::unique_ptr<TsSource> MakeDefaultTsSource();

}  // namespace pelkan::usb
