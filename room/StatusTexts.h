// Every text the server writes on the status line, in one place: the room's
// (requests it drops) and the network's (listening, accepting, failures).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmor::status {

// Replaces text with the parts, one after another, keeping its capacity.
inline void AssignConcat(std::u16string& text, std::initializer_list<std::u16string_view> parts) {
  std::size_t size = 0;
  for (auto part : parts) size += part.size();
  text.clear();
  text.reserve(size);
  for (auto part : parts) text.append(part);
}

inline std::u16string Concat(std::initializer_list<std::u16string_view> parts) {
  std::u16string text;
  AssignConcat(text, parts);
  return text;
}

inline constexpr std::u16string_view Waiting = u"待機中・・・";
inline constexpr std::u16string_view Accepted = u"Pibbetより接続を受け付けました";
inline constexpr std::u16string_view Full = u"接続数が上限に達したため、接続を断りました";
inline constexpr std::u16string_view Malformed = u"無効接続により一部閉じました";

inline std::u16string PortDigits(std::uint16_t port) {
  const std::string digits = std::to_string(port);
  return std::u16string(digits.begin(), digits.end());
}

// The chat port could not be listened on, for the reason given.
inline std::u16string ListenFailed(std::uint16_t port, std::u16string_view reason) {
  return Concat({u"ポート", PortDigits(port), u"で待機できません[", reason, u"]"});
}
// A request with a command word the server does not know.
inline std::u16string UnknownCommand(std::u16string_view address) {
  return Concat({u"無効接続要求[", address, u"]"});
}
// A chat or fetch whose key is not the one given at the join.
inline std::u16string WrongKey(std::u16string_view label, std::u16string_view address) {
  return Concat({label, u"(", address, u")", u"で無効な接続により一部閉じました"});
}
// A connection failed; the listener names itself the same way.
inline std::u16string ConnectionError(std::u16string_view label, std::u16string_view address) {
  return Concat({label, u"(", address, u")", u"でエラーにより、この接続を切ります"});
}

// Browser members: where the page is served, or why it is not.
inline std::u16string WebServing(std::u16string_view url) {
  return Concat({u"ブラウザ用ページ ", url, u" で待機中"});
}
// Over TLS, with the certificate's fingerprint for members to compare.
inline std::u16string WebServingSecure(std::u16string_view url, std::u16string_view fingerprint) {
  return Concat({u"ブラウザ用ページ ", url, u" で待機中 証明書SHA-256 ", fingerprint});
}
// The browsers' certificate read again (SIGHUP), or why it was not.
inline std::u16string Recertified(std::u16string_view fingerprint) {
  return Concat({u"ブラウザ用の証明書を読み直しました 証明書SHA-256 ", fingerprint});
}
inline std::u16string RecertifyFailed(std::u16string_view reason) {
  return Concat({u"ブラウザ用の証明書を読み直せません[", reason, u"]、前の証明書を使い続けます"});
}
inline std::u16string WebFailed(std::uint16_t port, std::u16string_view reason) {
  return Concat({u"ポート", PortDigits(port), u"でブラウザ用ページを開けません[", reason, u"]"});
}

// The room's history file: set aside when it failed its check at the start
// (the room then starts empty), or not to be had or written at all (the
// room then goes on in memory alone, as without history).
inline std::u16string HistorySetAside(std::u16string_view reason, std::u16string_view asideAs) {
  return Concat(
      {u"部屋の履歴を読めません[", reason, u"]、", asideAs, u" に退避して空の部屋で始めます"});
}
inline std::u16string HistoryUnavailable(std::u16string_view reason) {
  return Concat({u"部屋の履歴を開けません[", reason, u"]、部屋はメモリ上だけで続けます"});
}
inline std::u16string HistoryFailed(std::u16string_view reason) {
  return Concat({u"部屋の履歴を保存できません[", reason, u"]、部屋はメモリ上だけで続けます"});
}

}  // namespace velmor::status
