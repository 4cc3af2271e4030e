#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"

namespace pelkan::ui {

// Shift-JIS (the program's texts) -> QString, for widgets.
inline QString FromSjis(std::string_view sjis) {
  return QString::fromStdString(platform::SjisToUtf8(sjis));
}
// Broadcast text in Shift-JIS (names, titles, descriptions and texts built from them) -> QString,
// with the broadcast's symbols and additional kanji.
inline QString FromBroadcastSjis(std::string_view sjis) {
  return QString::fromStdString(platform::BroadcastToUtf8(sjis));
}
// QString -> Shift-JIS; characters without a Shift-JIS form become '?'.
inline std::string ToSjis(const QString& text) {
  return platform::Utf8ToSjis(text.toStdString());
}
// A UTF-8 literal of the sources (texts are kept in UTF-8 in the window code) as QString.
inline QString U8(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace pelkan::ui
