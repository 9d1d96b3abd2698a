// The reading side of TNntpCli: multi-line retrieval (ARTICLE, HEAD, BODY,
// lists, overviews, header fields, new groups and articles) and the
// single-line commands GROUP, DATE, MODE READER and AUTHINFO.
#include <cstring>

#include "nntp/NntpCli.h"

namespace {

// A text argument that holds a line break or NUL would end the command
// early and smuggle the rest to the server as a command of its own.
void CheckLine(const std::string& line, const std::string& what) {
  if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw NntpException("CR, LF or NUL in the arguments of " + what);
}

// The Error of a reply: 0 when it is the one hoped for, else its status
// code, or nntpErrorNoStatus for a line that carries none (read as a number
// such a line is 0, or a code whose low 16 bits are 0, and would pass for
// success).
std::uint16_t ReplyError(bool hasStatus, std::int32_t code, bool accepted) {
  if (!hasStatus) return nntpErrorNoStatus;
  return accepted ? 0 : static_cast<std::uint16_t>(code);
}

bool IsDigits(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

void TNntpCli::IssueRequest(TNntpRequest Kind, std::string Line, TReplyHandler Handler) {
  FRequestReported = false;
  FRequestType = Kind;
  FRequestLine = std::move(Line);
  FDataFailure = 0;
  FReplyHandler = Handler;
  SetSessionState(nntpWaitingResponse);
  SendCommandLine();
}

// ---- single-line commands -----------------------------------------------------------

void TNntpCli::Group(const std::string& NewGroup) {
  if (FState != nntpReady) throw NntpException("Not ready for GROUP");
  std::string line = "GROUP " + Trim(NewGroup);
  CheckLine(line, "GROUP");
  IssueRequest(nntpGroup, std::move(line), &TNntpCli::HandleGroupReply);
}

void TNntpCli::HandleGroupReply() {
  // Every reply fills the counters, so a 411 leaves them 0, not -1.
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  std::size_t at = status ? kNntpStatusLength : FLastResponse.size();
  at = ParseNumber(FLastResponse, at, FArticleEstimated);
  at = ParseNumber(FLastResponse, at, FArticleFirst);
  ParseNumber(FLastResponse, at, FArticleLast);
  CompleteRequest(ReplyError(status, FStatusCode, FStatusCode == 211));
}

void TNntpCli::Date() {
  if (FState != nntpReady) throw NntpException("Not ready for DATE");
  FDataStream = nullptr;
  FServerDate = 0;
  IssueRequest(nntpDate, "DATE", &TNntpCli::HandleDateReply);
}

void TNntpCli::HandleDateReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 111) {
    CompleteRequest(ReplyError(status, FStatusCode, false));
    return;
  }
  std::size_t at = SkipBlanks(FLastResponse, kNntpStatusLength);
  // yyyymmddhhnnss. Anything else, including a month 13 or an hour 24,
  // leaves ServerDate 0: the request still succeeds, the server's clock
  // just could not be read.
  std::string stamp = Trim(FLastResponse.substr(at));
  if (stamp.size() == 14 && IsDigits(stamp)) {
    auto field = [&](std::size_t from, std::size_t len) {
      return std::stoi(stamp.substr(from, len));
    };
    TDateTime date, time;
    if (TryEncodeDate(field(0, 4), field(4, 2), field(6, 2), date) &&
        TryEncodeTime(field(8, 2), field(10, 2), field(12, 2), 0, time)) {
      FServerDate = ComposeDateTime(date, time);
    }
  }
  CompleteRequest(0);
}

void TNntpCli::ModeReader() {
  if (FState != nntpReady) throw NntpException("Not ready for ModeReader");
  FDataStream = nullptr;
  FServerDate = 0;
  IssueRequest(nntpModeReader, "MODE READER", &TNntpCli::HandleModeReaderReply);
}

void TNntpCli::HandleModeReaderReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  CompleteRequest(ReplyError(status, FStatusCode, FStatusCode == 200 || FStatusCode == 201));
}

void TNntpCli::Authenticate() {
  if (FState != nntpReady) throw NntpException("Not ready for AUTHINFO");
  std::string line = "AUTHINFO USER " + FUserName;
  CheckLine(line, "AUTHINFO");
  CheckLine(FPassWord, "AUTHINFO");  // checked now: nothing may be sent of a login that fails
  IssueRequest(nntpAuthenticate, std::move(line), &TNntpCli::HandleAuthUserReply);
}

void TNntpCli::HandleAuthUserReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 381) {
    CompleteRequest(ReplyError(status, FStatusCode, false));
    return;
  }
  FRequestReported = false;
  FRequestLine = "AUTHINFO PASS " + FPassWord;
  FReplyHandler = &TNntpCli::HandleAuthPassReply;
  SetSessionState(nntpWaitingResponse);
  SendCommandLine();
  // The password has been handed to the socket; nobody reading the
  // request line later needs to see it.
  FRequestLine = "AUTHINFO PASS";
}

void TNntpCli::HandleAuthPassReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  CompleteRequest(ReplyError(status, FStatusCode, FStatusCode == 281));
}

// ---- the article family ------------------------------------------------------------

void TNntpCli::StartArticleByNumber(TNntpRequest Kind, std::int32_t Number, TStream* DestStream) {
  StartArticleRequest(Kind, Number > 0 ? " " + IntToStr(Number) : std::string(), DestStream);
}

void TNntpCli::StartArticleByID(TNntpRequest Kind, const std::string& ID, TStream* DestStream) {
  StartArticleRequest(Kind, " <" + ID + ">", DestStream);
}

void TNntpCli::StartArticleRequest(TNntpRequest Kind, const std::string& Argument,
                                   TStream* DestStream) {
  const char* word;
  switch (Kind) {
    case nntpArticleByNumber:
    case nntpArticleByID:
      word = "ARTICLE";
      break;
    case nntpBodyByID:
    case nntpBodyByNumber:
      word = "BODY";
      break;
    case nntpHeadByID:
    case nntpHeadByNumber:
      word = "HEAD";
      break;
    case nntpStatByID:
    case nntpStatByNumber:
      word = "STAT";
      break;
    default:
      throw NntpException("Internal error: Invalid Request Type");
  }
  if (FState != nntpReady) throw NntpException(std::string("Not ready for ") + word);
  std::string line = word + Argument;
  CheckLine(line, word);
  FDataStream = DestStream;
  FArticleNumber = -1;
  FArticleID.clear();
  IssueRequest(Kind, std::move(line), &TNntpCli::HandleArticleReply);
}

void TNntpCli::ArticleByNumber(std::int32_t Number, TStream* DestStream) {
  StartArticleByNumber(nntpArticleByNumber, Number, DestStream);
}
void TNntpCli::ArticleByID(const std::string& ID, TStream* DestStream) {
  StartArticleByID(nntpArticleByID, ID, DestStream);
}
void TNntpCli::HeadByNumber(std::int32_t Number, TStream* DestStream) {
  StartArticleByNumber(nntpHeadByNumber, Number, DestStream);
}
void TNntpCli::HeadByID(const std::string& ID, TStream* DestStream) {
  StartArticleByID(nntpHeadByID, ID, DestStream);
}
void TNntpCli::BodyByNumber(std::int32_t Number, TStream* DestStream) {
  StartArticleByNumber(nntpBodyByNumber, Number, DestStream);
}
void TNntpCli::BodyByID(const std::string& ID, TStream* DestStream) {
  StartArticleByID(nntpBodyByID, ID, DestStream);
}
void TNntpCli::StatByNumber(std::int32_t Number) {
  StartArticleByNumber(nntpStatByNumber, Number, nullptr);
}
void TNntpCli::StatByID(const std::string& ID) { StartArticleByID(nntpStatByID, ID, nullptr); }

void TNntpCli::Next() {
  if (FState != nntpReady) throw NntpException("Not ready for NEXT");
  FArticleNumber = -1;
  FArticleID.clear();
  IssueRequest(nntpNext, "NEXT", &TNntpCli::HandleArticleReply);
}

void TNntpCli::Last() {
  if (FState != nntpReady) throw NntpException("Not ready for LAST");
  FArticleNumber = -1;
  FArticleID.clear();
  IssueRequest(nntpLast, "LAST", &TNntpCli::HandleArticleReply);
}

// ---- lists and the rest of the multi-line family -----------------------------------------

void TNntpCli::StartDataRequest(TNntpRequest Kind, const std::string& What, std::string Line,
                                TStream* DestStream, TReplyHandler Handler) {
  if (FState != nntpReady) throw NntpException("Not ready for " + What);
  CheckLine(Line, What);
  FDataStream = DestStream;
  IssueRequest(Kind, std::move(Line), Handler);
}

void TNntpCli::List(TStream* DestStream) {
  StartDataRequest(nntpList, "LIST", "LIST", DestStream, &TNntpCli::HandleArticleReply);
}

void TNntpCli::ListActive(const std::string& Wildmat, TStream* DestStream) {
  StartDataRequest(nntpListActive, "LIST ACTIVE", "LIST ACTIVE " + Wildmat, DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::ListSrchFields(TStream* DestStream) {
  StartDataRequest(nntpListSrchFields, "LIST SRCHFIELDS", "LIST SRCHFIELDS", DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::ListSearchable(TStream* DestStream) {
  StartDataRequest(nntpListSearchable, "LIST SEARCHABLE", "LIST SEARCHABLE", DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::ListOverViewFmt(TStream* DestStream) {
  StartDataRequest(nntpListOverViewFmt, "LIST OVERVIEW.FMT", "LIST OVERVIEW.FMT", DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::Search(const std::string& Query, TStream* DestStream) {
  StartDataRequest(nntpSearch, "SEARCH", "SEARCH " + Query, DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::Help(TStream* DestStream) {
  StartDataRequest(nntpHelp, "HELP", "HELP", DestStream, &TNntpCli::HandleArticleReply);
}

void TNntpCli::XOver(const std::string& Articles, TStream* DestStream) {
  StartDataRequest(nntpXOver, "XOVER", "XOVER " + Articles, DestStream,
                   &TNntpCli::HandleArticleReply);
}

namespace {

// "yymmdd hhnnss", for NEWGROUPS and NEWNEWS. A zero When means now, read
// from the clock the server is told about: labelling the local time GMT
// would put the question hours off.
std::string NewsDate(TDateTime When, bool GMTFlag) {
  if (When == 0) When = GMTFlag ? NowUTC() : Now();
  return FormatDateTime("yymmdd hhnnss", When) + (GMTFlag ? " GMT" : "");
}

std::string DistributionsPart(const std::string& Distributions) {
  return Distributions.empty() ? std::string() : " <" + Distributions + ">";
}

}  // namespace

void TNntpCli::NewGroups(TDateTime When, bool GMTFlag, const std::string& Distributions,
                         TStream* DestStream) {
  StartDataRequest(nntpNewGroups, "NEWGROUPS",
                   "NEWGROUPS " + NewsDate(When, GMTFlag) + DistributionsPart(Distributions),
                   DestStream, &TNntpCli::HandleArticleReply);
}

void TNntpCli::NewNews(TDateTime When, bool GMTFlag, const std::string& NewsGroupName,
                       const std::string& Distributions, TStream* DestStream) {
  StartDataRequest(nntpNewNews, "NEWNEWS",
                   "NEWNEWS " + (NewsGroupName.empty() ? std::string("*") : NewsGroupName) + " " +
                       NewsDate(When, GMTFlag) + DistributionsPart(Distributions),
                   DestStream, &TNntpCli::HandleArticleReply);
}

void TNntpCli::AnyCommand(const std::string& Command, TStream* DestStream) {
  StartDataRequest(nntpAnyCommand, "\"" + Command + "\" command", Command, DestStream,
                   &TNntpCli::HandleArticleReply);
}

void TNntpCli::XHdr(TStream* DestStream, const std::string& Header, const std::string& Range) {
  StartDataRequest(nntpXHdr, "XHDR",
                   "XHDR " + Header + (Range.empty() ? std::string() : " " + Range), DestStream,
                   &TNntpCli::HandleXHdrReply);
}

void TNntpCli::XPat(TStream* DestStream, const std::string& Header, const std::string& Range,
                    const std::string& Pattern) {
  StartDataRequest(nntpXPat, "XPAT", "XPAT " + Header + " " + Range + " " + Pattern, DestStream,
                   &TNntpCli::HandleXHdrReply);
}

// ---- receiving multi-line answers ------------------------------------------------------

void TNntpCli::HandleArticleReply() {
  if (!NntpReadStatus(FLastResponse, FStatusCode)) {
    CompleteRequest(nntpErrorNoStatus);
    return;
  }
  switch (FStatusCode) {
    case 100:
    case 215:
    case 220:
    case 221:
    case 222:
    case 223:
    case 224:
    case 230:  // NEWNEWS: its list must not be left to pass for later replies
    case 231:
      break;
    default:
      CompleteRequest(static_cast<std::uint16_t>(FStatusCode));
      return;
  }
  std::size_t at = ParseNumber(FLastResponse, kNntpStatusLength, FArticleNumber);
  FArticleID = ParseMessageID(FLastResponse, at);
  if (FStatusCode == 223) {
    CompleteRequest(0);
    return;
  }
  FReplyHandler = &TNntpCli::HandleArticleLine;
  // The rest of the answer may be held by the server until this line is
  // acknowledged.
  FWSocket->AckPromptly();
  // Data lines arrive whole; a line at the limit may come with a doubled
  // dot in front, so the limit itself is applied once that is undone.
  FReceiveBuffer.SetLineLimit(kMaxDataLine + 1);
  FSavedResponse = FLastResponse;
  SetSessionState(nntpWaitingResponse);
  if (OnMessageBegin) OnMessageBegin(this);
}

void TNntpCli::HandleArticleLine() {
  if (FLastResponse.size() == 1 && FLastResponse[0] == '.') {
    EndDataAnswer(OnMessageEnd);
  } else {
    DeliverDataLine(OnMessageLine);
  }
}

void TNntpCli::HandleXHdrReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 221) {
    CompleteRequest(ReplyError(status, FStatusCode, false));
    return;
  }
  FReplyHandler = &TNntpCli::HandleXHdrLine;
  FReceiveBuffer.SetLineLimit(kMaxDataLine + 1);
  FSavedResponse = FLastResponse;
  SetSessionState(nntpWaitingResponse);
  if (OnXHdrBegin) OnXHdrBegin(this);
}

void TNntpCli::HandleXHdrLine() {
  if (FLastResponse.size() == 1 && FLastResponse[0] == '.') {
    EndDataAnswer(OnXHdrEnd);
  } else {
    DeliverDataLine(OnXHdrLine);
  }
}

void TNntpCli::DeliverDataLine(const TNotifyEvent& LineEvent) {
  if (FDataFailure != 0) return;  // draining what is left of the answer
  // The server doubled every leading dot; one comes off, whatever follows.
  const bool dotted = !FLastResponse.empty() && FLastResponse[0] == '.';
  if (dotted) FLastResponse.erase(0, 1);
  if (FLastResponse.size() > kMaxDataLine) {
    FDataFailure = kErrorLineTooLong;
    return;
  }
  if (FDataStream != nullptr) {
    // One write per line, line end included: straight from the receive
    // buffer, where the line usually still lies with its CR LF behind it.
    // Only a line gathered outside the buffer (over 4 KB) is put together
    // with its line end for the write. LastResponse stays the line as
    // delivered throughout.
    const std::size_t size = FLastResponse.size();
    const char* inPlace = FReceiveBuffer.LineInPlace(size + (dotted ? 1 : 0));
    std::int32_t written = -1;
    try {
      if (inPlace != nullptr) {
        written =
            FDataStream->Write(inPlace + (dotted ? 1 : 0), static_cast<std::int32_t>(size + 2));
      } else {
        std::string whole;
        whole.reserve(size + 2);
        whole.append(FLastResponse).append("\r\n", 2);
        written = FDataStream->Write(whole.data(), static_cast<std::int32_t>(size + 2));
      }
    } catch (const std::exception&) {
      written = -1;
    }
    if (written != static_cast<std::int32_t>(size + 2)) {
      // Writing on after a gap would hand over damaged data as if whole.
      FDataFailure = kErrorWriteFault;
      return;
    }
  }
  if (LineEvent) LineEvent(this);
}

void TNntpCli::EndDataAnswer(const TNotifyEvent& EndEvent) {
  if (!FSavedResponse.empty()) {
    FLastResponse = FSavedResponse;
    FSavedResponse.clear();
  }
  std::uint16_t failure = FDataFailure;
  FDataFailure = 0;
  if (failure == 0 && EndEvent) EndEvent(this);
  CompleteRequest(failure);
}

std::string TNntpCli::ParseMessageID(const std::string& text, std::size_t from) {
  std::size_t open = text.find('<', SkipBlanks(text, from));
  if (open == std::string::npos) return std::string();
  std::size_t close = text.find('>', open + 1);
  return text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}
