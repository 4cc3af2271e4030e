#include "usb/ts_source_factory.h"

namespace pelkan::usb {

std::unique_ptr<TsSource> MakeDefaultTsSource() { return std::make_unique<PatternTsSource>(); }

}  // namespace pelkan::usb
