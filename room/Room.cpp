#include "room/Room.h"

namespace velmor {

namespace {

constexpr std::u16string_view LineBreak = u"\r\n";
constexpr std::u16string_view KeySeparator = u"/*/~";
constexpr std::u16string_view ReplySeparator = u"/*/";
constexpr std::u16string_view JoinWord = u"CanEnter?";
constexpr std::u16string_view ChatWord = u"NormalTel";
constexpr std::u16string_view FetchWord = u"/Reflesh/";
constexpr std::size_t CommandLength = 9;

constexpr std::u16string_view MalformedText = u"無効接続により一部閉じました";
constexpr std::u16string_view UnknownCommandText = u"無効接続要求[";
constexpr std::u16string_view WrongKeyText = u"で無効な接続により一部閉じました";
constexpr std::u16string_view ErrorText = u"でエラーにより、この接続を切ります";

bool IsClientSlot(SlotIndex slot) { return slot >= 1 && slot <= Room::MaxSlot; }

std::u16string Concat(std::initializer_list<std::u16string_view> parts) {
  std::size_t size = 0;
  for (auto part : parts) size += part.size();
  std::u16string text;
  text.reserve(size);
  for (auto part : parts) text.append(part);
  return text;
}

}  // namespace

Room::Room(Connections& connections, StatusLine& status) : Sockets(connections), Status(status) {}

void Room::AppendLogLine(const std::u16string& line) {
  MarkChanged();
  LogLines[LogCapacity].clear();
  int k = 0;
  while (!LogLines[k].empty()) ++k;
  if (k < LogCapacity) {
    LogLines[k] = line;
    return;
  }
  // Full: the oldest line goes, the rest move down by one.
  for (int j = 0; j < LogCapacity - 1; ++j) LogLines[j].swap(LogLines[j + 1]);
  LogLines[LogCapacity - 1] = line;
}

int Room::LogCount() const {
  int n = 0;
  while (n < LogCapacity && !LogLines[n].empty()) ++n;
  return n;
}

void Room::AnnounceLeave() {
  AppendLogLine(Concat({u"【お知らせ】", CurName, u"さんが退室されました"}));
}

std::u16string Room::RenderMemberList() const {
  std::u16string text;
  AppendMemberList(text);
  return text;
}

std::u16string Room::RenderLog() const {
  std::u16string text;
  AppendLog(text);
  return text;
}

void Room::AppendMemberList(std::u16string& text) const {
  for (const auto& name : MemberNames) {
    if (name.empty()) continue;
    text.append(name).append(LineBreak);
  }
}

void Room::AppendLog(std::u16string& text) const {
  for (int k = LogCapacity - 1; k >= 0; --k) {
    if (LogLines[k].empty()) continue;
    text.append(LogLines[k]).append(LineBreak);
  }
}

void Room::MarkChanged() {
  StateStale = true;
  ViewsStale = true;
}

void Room::RefreshDisplay() {
  if (Display == nullptr) return;
  if (ViewsStale) {
    ListText.clear();
    AppendMemberList(ListText);
    LogText.clear();
    AppendLog(LogText);
    ViewsStale = false;
  }
  Display->ShowRoom(ListText, LogText);
}

std::u16string Room::OperatorLine(std::u16string_view text) {
  return Concat({u"《Velmor様曰：", text, u"》"});
}

void Room::ClearMember(SlotIndex slot) {
  if (!MemberNames[slot].empty()) MarkChanged();
  MemberNames[slot].clear();
  MemberKeys[slot].clear();
}

// A request is one arrival of text on a client connection:
//
//   request = command payload "/*/~" key
//   command = "CanEnter?" | "NormalTel" | "/Reflesh/"     (9 characters)
//   payload = the name (join), the chat text (chat), nothing (fetch)
//   key     = everything after the first "/*/~", later separators included
//
// Every request carried out is answered with the state reply:
//
//   reply = { name CR LF } "/*/" { log line CR LF }         (newest line first)
//
// There is no framing beyond the arrival: two requests merged into one arrival
// are read as one, and a request split over two arrivals as two.
void Room::WSock_DataArrival(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  RecvText.clear();
  RecvText = Sockets.GetData(slot);

  // Only a separator within the first MaxSepPos characters counts; one further
  // in cannot be described by SepPos and makes the request malformed.
  std::u16string_view head(RecvText);
  head = head.substr(0, MaxSepPos - 1 + KeySeparator.size());
  const auto found = head.find(KeySeparator);
  SepPos = found == std::u16string_view::npos ? 0 : static_cast<std::int16_t>(found + 1);

  if (SepPos == 0) {
    // The slot's name and key go with the connection, or the next client
    // accepted into this slot would inherit them.
    ClearMember(slot);
    Sockets.ReleaseSlot(slot);
    Status.SetStatusText(std::u16string(MalformedText));
    RefreshDisplay();
    return;
  }

  const std::u16string_view command = std::u16string_view(RecvText).substr(0, CommandLength);
  if (command == JoinWord) {
    CurName = RecvText.substr(CommandLength, SepPos - 1 - CommandLength);
    CurSlot = slot;
    SaveClientKey();
    AnnounceJoin();
  } else if (command == ChatWord) {
    CurSlot = slot;
    CurName = MemberNames[slot];
    if (CheckClientKey()) PostChatLine();
  } else if (SepPos - 1 == static_cast<int>(CommandLength) && command == FetchWord) {
    CurName = MemberNames[slot];
    CurSlot = slot;
    if (CheckClientKey()) SendRoomState();
  } else {
    const std::u16string address = Sockets.PeerAddress(slot);
    ClearMember(slot);
    Status.SetStatusText(Concat({UnknownCommandText, address, u"]"}));
    Sockets.ReleaseSlot(slot);
  }
  RefreshDisplay();
}

std::u16string_view Room::ReceivedKey() const {
  return std::u16string_view(RecvText).substr(SepPos - 1 + KeySeparator.size());
}

void Room::SaveClientKey() { MemberKeys[CurSlot].assign(ReceivedKey()); }

bool Room::CheckClientKey() {
  if (ReceivedKey() == MemberKeys[CurSlot]) return true;
  ClearMember(CurSlot);
  Sockets.ReleaseSlot(CurSlot);
  Status.SetStatusText(
      Concat({Sockets.PeerLabel(CurSlot), u"(", Sockets.PeerAddress(CurSlot), u")", WrongKeyText}));
  return false;
}

void Room::AnnounceJoin() {
  MemberNames[CurSlot] = CurName;
  MarkChanged();
  AppendLogLine(Concat({u"【お知らせ！】", CurName, u"さんが参加しました"}));
  SendRoomState();
}

void Room::PostChatLine() {
  const auto chat = std::u16string_view(RecvText).substr(CommandLength, SepPos - 1 - CommandLength);
  AppendLogLine(Concat({u"〔", CurName, u"〕", chat}));
  SendRoomState();
}

void Room::SendRoomState() {
  if (StateStale) {
    StateText.clear();
    AppendMemberList(StateText);
    StateText.append(ReplySeparator);
    AppendLog(StateText);
    StateStale = false;
  }
  Sockets.SendData(CurSlot, StateText);
}

void Room::WSock_Close(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  CurName = MemberNames[slot];
  ClearMember(slot);
  Sockets.ReleaseSlot(slot);
  AnnounceLeave();
  RefreshDisplay();
}

void Room::WSock_Error(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  Sockets.ReleaseSlot(slot);
  ClearMember(slot);
  Status.SetStatusText(
      Concat({Sockets.PeerLabel(slot), u"(", Sockets.PeerAddress(slot), u")", ErrorText}));
  // The operator must not go on seeing a member whose connection failed.
  RefreshDisplay();
}

}  // namespace velmor
