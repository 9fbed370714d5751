#include "room/Room.h"

#include "room/Request.h"
#include "room/StatusTexts.h"

namespace velmor {

namespace {

constexpr std::u16string_view LineBreak = u"\r\n";
constexpr std::u16string_view ReplySeparator = u"/*/";

bool IsClientSlot(SlotIndex slot) { return slot >= 1 && slot <= MaxClientSlot; }

}  // namespace

Room::Room(Connections& connections, StatusLine& status) : Sockets(connections), Status(status) {}

void Room::AppendLogLine(const std::u16string& line) {
  // An empty entry marks the end of the log; every line the room makes has
  // text, and an empty one would only shorten the log.
  if (line.empty()) return;
  MarkChanged();
  const int k = LogCount();
  ++Posted;
  if (k < LogCapacity) {
    LogLines[k] = line;
    return;
  }
  // Full: the oldest line goes, the rest move down by one.
  for (int j = 0; j < LogCapacity - 1; ++j) LogLines[j].swap(LogLines[j + 1]);
  LogLines[LogCapacity - 1] = line;
}

void Room::AnnounceLeave(std::u16string_view name) {
  AppendLogLine(status::Join({u"【お知らせ】", name, u"さんが退室されました"}));
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

void Room::MarkChanged() { StateStale = true; }

void Room::MarkMembersChanged() {
  MarkChanged();
  MembersStale = true;
  ++MembersVersion;
}

std::u16string_view Room::StateParts::MemberList() const {
  if (Of.MembersStale) {
    Of.MembersText.clear();
    Of.AppendMemberList(Of.MembersText);
    Of.MembersStale = false;
  }
  return Of.MembersText;
}

std::vector<std::u16string_view> Room::StateParts::Names() const {
  std::vector<std::u16string_view> names;
  for (const auto& name : Of.MemberNames) {
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

std::u16string_view Room::StateParts::Line(int k) const {
  return Of.LogLines[Of.LogCount() - 1 - k];
}

const std::u16string& Room::StateParts::Text() const {
  Of.RenderState();
  return Of.StateText;
}

void Room::RefreshDisplay() {
  if (Display == nullptr) return;
  if (!Display->WantsTextsNow()) {
    Display->ShowRoom({}, {});
    return;
  }
  const auto [members, log] = CurrentViews();
  Display->ShowRoom(members, log);
}

std::u16string Room::OperatorLine(std::u16string_view text) {
  return status::Join({u"《Velmor様曰：", text, u"》"});
}

void Room::ClearMember(SlotIndex slot) {
  if (!MemberNames[slot].empty()) MarkMembersChanged();
  MemberNames[slot].clear();
  MemberKeys[slot].clear();
}

// Every request carried out is answered with the state reply:
//
//   reply = { name CR LF } "/*/" { log line CR LF }         (newest line first)
//
// The request itself is parsed by ParseRequest (room/Request.h).
void Room::WSock_DataArrival(SlotIndex slot, std::u16string_view arrival) {
  if (!IsClientSlot(slot)) return;
  const Request request = ParseRequest(arrival);
  switch (request.What) {
    case Request::Command::Malformed:
      // The slot's name and key go with the connection, or the next client
      // accepted into this slot would inherit them.
      ClearMember(slot);
      Sockets.ReleaseSlot(slot);
      Status.SetStatusText(std::u16string(status::Malformed));
      break;
    case Request::Command::Join:
      AnnounceJoin(slot, request.Payload, request.Key);
      break;
    case Request::Command::Chat:
      if (CheckClientKey(slot, request.Key)) PostChatLine(slot, request.Payload);
      break;
    case Request::Command::Fetch:
      if (CheckClientKey(slot, request.Key)) SendRoomState(slot);
      break;
    case Request::Command::Unknown: {
      const std::u16string address = Sockets.PeerAddress(slot);
      ClearMember(slot);
      Status.SetStatusText(status::UnknownCommand(address));
      Sockets.ReleaseSlot(slot);
      break;
    }
  }
  RefreshDisplay();
}

bool Room::CheckClientKey(SlotIndex slot, std::u16string_view key) {
  if (key == MemberKeys[slot]) return true;
  ClearMember(slot);
  Sockets.ReleaseSlot(slot);
  Status.SetStatusText(status::WrongKey(Sockets.PeerLabel(slot), Sockets.PeerAddress(slot)));
  return false;
}

void Room::AnnounceJoin(SlotIndex slot, std::u16string_view name, std::u16string_view key) {
  MemberKeys[slot].assign(key);
  MemberNames[slot].assign(name);
  MarkMembersChanged();
  AppendLogLine(status::Join({u"【お知らせ！】", name, u"さんが参加しました"}));
  SendRoomState(slot);
}

void Room::PostChatLine(SlotIndex slot, std::u16string_view chat) {
  AppendLogLine(status::Join({u"〔", MemberNames[slot], u"〕", chat}));
  SendRoomState(slot);
}

void Room::RenderState() const {
  if (!StateStale) return;
  StateText.assign(Reply.MemberList());
  MembersLength = StateText.size();
  StateText.append(ReplySeparator);
  AppendLog(StateText);
  StateStale = false;
}

std::pair<std::u16string_view, std::u16string_view> Room::CurrentViews() {
  RenderState();
  const std::u16string_view state(StateText);
  return {state.substr(0, MembersLength), state.substr(MembersLength + ReplySeparator.size())};
}

void Room::SendRoomState(SlotIndex slot) { Sockets.SendState(slot, Reply); }

void Room::WSock_Close(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  const std::u16string name = MemberNames[slot];
  ClearMember(slot);
  Sockets.ReleaseSlot(slot);
  AnnounceLeave(name);
  RefreshDisplay();
}

void Room::WSock_Error(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  Sockets.ReleaseSlot(slot);
  ClearMember(slot);
  Status.SetStatusText(status::ConnectionError(Sockets.PeerLabel(slot), Sockets.PeerAddress(slot)));
  // The operator must not go on seeing a member whose connection failed.
  RefreshDisplay();
}

}  // namespace velmor
