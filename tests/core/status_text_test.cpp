#include "core/status_text.h"

#include <gtest/gtest.h>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

std::string Utf8(const std::string& sjis) {
  return platform::SjisToUtf8(sjis);
}

TEST(StatusText, ElapsedSwitchesToMinutesAtOneMinute) {
  EXPECT_EQ(FormatElapsedSeconds(59), "59");
  EXPECT_EQ(FormatElapsedSeconds(60), "1:00");
  EXPECT_EQ(FormatElapsedSeconds(3599), "59:59");
  EXPECT_EQ(FormatElapsedSeconds(3600), "60:00");
}

TEST(StatusText, RateIsMegabitsWithTwoDecimals) {
  EXPECT_EQ(FormatRate(0.0), "0.00 Mbps");
  EXPECT_EQ(FormatRate(131072.0), "1.00 Mbps");  // 2^20 bits per second
  EXPECT_EQ(FormatRate(2125000.0), "16.21 Mbps");
}

TEST(StatusText, RecordingTotalsInJapanese) {
  RecordingSummary r;
  r.drop = 18;
  r.error = 5;
  r.scrambled = 12345678901ull;
  EXPECT_EQ(Utf8(FormatRecordingTotals(r)), "ドロップ 18  エラー 5  スクランブル 12345678901");
}

TEST(StatusText, BufferShowsKilobytesAndCounters) {
  EXPECT_EQ(FormatBufferText(0x8000 + 1023, 0xA00000, 1, 2, 3), "32KB/10240KB\nR:1 Sy:2 St:3");
}

TEST(StatusText, RecordingTextRoundsDownToWholeMegabytes) {
  EXPECT_EQ(Utf8(FormatRecordingText(false, 0)), "録画停止中");
  EXPECT_EQ(Utf8(FormatRecordingText(true, 0)), "録画バッファ中");
  EXPECT_EQ(Utf8(FormatRecordingText(true, 1048575)), "録画中 0 MByte");
  EXPECT_EQ(Utf8(FormatRecordingText(true, 1048576)), "録画中 1 MByte");
  EXPECT_EQ(Utf8(FormatRecordingText(true, 5ull << 32)), "録画中 20480 MByte");
}

TEST(StatusText, FreeSpaceOnlyWhileRecording) {
  EXPECT_EQ(FormatFreeSpaceText(false, 1 << 30), " ");
  EXPECT_EQ(Utf8(FormatFreeSpaceText(true, 209715200)), "空き 200 MByte");
}

TEST(StatusText, SendingTextShowsAddressAndMegabytes) {
  EXPECT_EQ(Utf8(FormatSendingText(false, {}, 0)), "送信停止中");
  EXPECT_EQ(Utf8(FormatSendingText(true, {127, 0, 0, 1}, 0)), "送信バッファ中");
  EXPECT_EQ(Utf8(FormatSendingText(true, {192, 168, 1, 20}, 3 << 20)), "送信中(192.168.1.20) 3 MByte");
  // What the sender had to drop shows, in KByte rounded up so that a single lost packet is seen.
  EXPECT_EQ(Utf8(FormatSendingText(true, {127, 0, 0, 1}, 3 << 20, 188)),
            "送信中(127.0.0.1) 3 MByte 破棄 1 KByte");
  EXPECT_EQ(Utf8(FormatSendingText(true, {127, 0, 0, 1}, 0, 2048)), "送信バッファ中 破棄 2 KByte");
  // While the sends fail, their reason, every time the status is shown.
  EXPECT_EQ(Utf8(FormatSendingText(true, {127, 0, 0, 1}, 3 << 20, 2048, "Network is unreachable")),
            "送信中(127.0.0.1) 3 MByte 破棄 2 KByte 送信エラー(Network is unreachable)");
}

TEST(StatusText, HttpTextCountsClientsAndTheirLoss) {
  EXPECT_EQ(Utf8(FormatHttpText(0, 0)), "HTTP 0 クライアント");
  EXPECT_EQ(Utf8(FormatHttpText(2, 0)), "HTTP 2 クライアント");
  EXPECT_EQ(Utf8(FormatHttpText(2, 188)), "HTTP 2 クライアント 破棄 1 KByte");
}

TEST(StatusText, AutoStopTexts) {
  EXPECT_EQ(Utf8(FormatAutoStopRemaining(61999)), "1:01 後に自動停止");
  EXPECT_EQ(FormatMinutesSeconds(3600), "60:00");
  EXPECT_EQ(Utf8(status_text::kNoAutoStop), "録画自動停止設定なし");
  EXPECT_EQ(Utf8(status_text::kAutoStopping), "自動停止処理中");
}

TEST(StatusText, MessagesConvertToTheirJapanese) {
  EXPECT_EQ(Utf8(status_text::kLowDiskStop), "録画先ディスク容量が少ないので録画停止しました。");
  EXPECT_EQ(Utf8(status_text::kStartFailed), "開始に失敗しました");
  EXPECT_EQ(Utf8(status_text::kInEndpointError), "入力EP指定エラー");
  EXPECT_EQ(Utf8(status_text::kOutEndpointRequired), "Sorvalink初期化には出力EPが必要です");
  EXPECT_EQ(Utf8(status_text::kNone), "なし");
  EXPECT_EQ(Utf8(status_text::kRecordStart), "録画開始");
  EXPECT_EQ(Utf8(status_text::kRecordStop), "録画停止");
  EXPECT_EQ(Utf8(status_text::kSendStart), "送信開始");
  EXPECT_EQ(Utf8(status_text::kSendStop), "送信停止");
  EXPECT_EQ(Utf8(status_text::kRecordingBuffering), "録画バッファ中");
  EXPECT_EQ(Utf8(status_text::kSendingBuffering), "送信バッファ中");
}

TEST(StatusText, TickComparisonSurvivesTheWrap) {
  EXPECT_TRUE(TickReached(100, 100));
  EXPECT_FALSE(TickReached(99, 100));
  EXPECT_TRUE(TickReached(5, 0xFFFFFFF0u));   // now wrapped past the deadline
  EXPECT_FALSE(TickReached(0xFFFFFFF0u, 5));  // the deadline lies after the wrap
}

}  // namespace
}  // namespace pelkan
