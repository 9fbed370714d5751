#include "room/Room.h"

#include "room/Request.h"
#include "room/StatusTexts.h"

namespace velmor {

namespace {

constexpr std::u16string_view LineBreak = u"\r\n";
constexpr std::u16string_view ReplySeparator = u"/*/";

bool IsClientSlot(SlotIndex slot) { return slot >= 1 && slot <= MaxClientSlot; }

}  // namespace

Room::Room(Connections& connections, StatusLine& status) : sockets_(connections), status_(status) {}

void Room::AppendLogLine(std::initializer_list<std::u16string_view> parts) {
  // Made aside (a part may be a line of the log itself) and swapped into
  // its place; the two strings trade buffers, so once the log has gone
  // round a line costs no allocation.
  status::AssignConcat(nextLine_, parts);
  // Every line the room makes has text; an empty one would be a line no
  // view or reply could show.
  if (nextLine_.empty()) return;
  MarkChanged();
  nextLine_.swap(logLines_[posted_ % LogCapacity]);
  ++posted_;
}

void Room::Restore(const std::vector<KeptLine>& lines) {
  if (posted_ != 0 || lines.empty()) return;
  // Line n (counted from 1) lives where AppendLogLine put it, (n - 1) % LogCapacity.
  for (const KeptLine& line : lines) {
    if (line.number == 0 || line.text.empty()) continue;
    logLines_[(line.number - 1) % LogCapacity] = line.text;
  }
  posted_ = lines.back().number;
  MarkChanged();
}

void Room::SeatKept(SlotIndex slot, std::u16string_view name, std::u16string_view key) {
  if (!IsClientSlot(slot)) return;
  memberNames_[slot].assign(name);
  memberKeys_[slot].assign(key);
  MarkMembersChanged();
}

const std::u16string& Room::LogLine(int k) const {
  static const std::u16string none;
  if (k < 0 || k >= LogCount()) return none;
  return logLines_[(posted_ - static_cast<std::uint64_t>(LogCount() - k)) % LogCapacity];
}

void Room::AnnounceLeave(std::u16string_view name) {
  AppendLogLine({u"【お知らせ】", name, u"さんが退室されました"});
}

void Room::AppendMemberList(std::u16string& text) const {
  for (const auto& name : memberNames_) {
    if (name.empty()) continue;
    text.append(name).append(LineBreak);
  }
}

void Room::AppendLog(std::u16string& text) const {
  for (int k = LogCount() - 1; k >= 0; --k) text.append(LogLine(k)).append(LineBreak);
}

void Room::MarkChanged() { stateStale_ = true; }

void Room::MarkMembersChanged() {
  MarkChanged();
  membersStale_ = true;
  ++membersVersion_;
}

std::u16string_view Room::StateParts::MemberList() const {
  if (room_.membersStale_) {
    room_.membersText_.clear();
    room_.AppendMemberList(room_.membersText_);
    room_.membersStale_ = false;
  }
  return room_.membersText_;
}

std::vector<std::u16string_view> Room::StateParts::Names() const {
  std::vector<std::u16string_view> names;
  for (const auto& name : room_.memberNames_) {
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

std::u16string_view Room::StateParts::Line(int k) const {
  return room_.LogLine(room_.LogCount() - 1 - k);
}

const std::u16string& Room::StateParts::Text() const {
  room_.RenderState();
  return room_.stateText_;
}

void Room::RefreshDisplay() {
  if (display_ != nullptr) display_->ShowRoom();
}

std::u16string Room::OperatorLine(std::u16string_view text) {
  return status::Concat({u"《Velmor様曰：", text, u"》"});
}

void Room::OnOperatorLine(std::u16string_view text) {
  AppendLogLine(OperatorLine(text));
  RefreshDisplay();
}

void Room::ClearMember(SlotIndex slot) {
  if (!memberNames_[slot].empty()) MarkMembersChanged();
  memberNames_[slot].clear();
  memberKeys_[slot].clear();
}

void Room::Drop(SlotIndex slot, const std::u16string& why) {
  ClearMember(slot);
  sockets_.ReleaseSlot(slot);
  status_.SetStatusText(why);
}

// Every request carried out is answered with the state reply:
//
//   reply = { name CR LF } "/*/" { log line CR LF }         (newest line first)
//
// The request itself is parsed by ParseRequest (room/Request.h).
void Room::OnArrival(SlotIndex slot, std::u16string_view arrival) {
  if (!IsClientSlot(slot)) return;
  OnRequest(slot, ParseRequest(arrival));
}

void Room::OnRequest(SlotIndex slot, const Request& request) {
  if (!IsClientSlot(slot)) return;
  switch (request.what) {
    case Request::Command::Malformed:
      Drop(slot, std::u16string(status::Malformed));
      break;
    case Request::Command::Join:
      AnnounceJoin(slot, request.payload, request.key);
      break;
    case Request::Command::Chat:
      if (CheckClientKey(slot, request.key)) PostChatLine(slot, request.payload);
      break;
    case Request::Command::Fetch:
      if (CheckClientKey(slot, request.key)) SendRoomState(slot);
      break;
    case Request::Command::Unknown:
      Drop(slot, status::UnknownCommand(sockets_.PeerAddress(slot)));
      break;
  }
  RefreshDisplay();
}

bool Room::CheckClientKey(SlotIndex slot, std::u16string_view key) {
  if (key == memberKeys_[slot]) return true;
  Drop(slot, status::WrongKey(sockets_.PeerLabel(slot), sockets_.PeerAddress(slot)));
  return false;
}

void Room::AnnounceJoin(SlotIndex slot, std::u16string_view name, std::u16string_view key) {
  memberKeys_[slot].assign(key);
  memberNames_[slot].assign(name);
  MarkMembersChanged();
  AppendLogLine({u"【お知らせ！】", name, u"さんが参加しました"});
  SendRoomState(slot);
}

void Room::PostChatLine(SlotIndex slot, std::u16string_view chat) {
  AppendLogLine({u"〔", memberNames_[slot], u"〕", chat});
  SendRoomState(slot);
}

void Room::RenderState() const {
  if (!stateStale_) return;
  stateText_.assign(reply_.MemberList());
  membersLength_ = stateText_.size();
  stateText_.append(ReplySeparator);
  AppendLog(stateText_);
  stateStale_ = false;
}

std::pair<std::u16string_view, std::u16string_view> Room::CurrentViews() {
  RenderState();
  const std::u16string_view state(stateText_);
  return {state.substr(0, membersLength_), state.substr(membersLength_ + ReplySeparator.size())};
}

void Room::SendRoomState(SlotIndex slot) { sockets_.SendState(slot, reply_); }

void Room::OnPeerClosed(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  const std::u16string name = memberNames_[slot];
  ClearMember(slot);
  sockets_.ReleaseSlot(slot);
  AnnounceLeave(name);
  RefreshDisplay();
}

void Room::OnConnectionFailed(SlotIndex slot) {
  if (!IsClientSlot(slot)) return;
  Drop(slot, status::ConnectionError(sockets_.PeerLabel(slot), sockets_.PeerAddress(slot)));
  // The operator must not go on seeing a member whose connection failed.
  RefreshDisplay();
}

}  // namespace velmor
