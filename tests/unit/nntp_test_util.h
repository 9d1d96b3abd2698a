// A news server whose answers a test writes, in the test's own event loop.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/net_test_util.h"

// It greets, then answers each command line with answer(line); after an
// answer that starts with 340 it takes the article up to its end marker and
// sends finalReply. By default POST gets postReply, QUIT "205 bye" and any
// other command "500 unknown".
class ScriptedServer {
 public:
  std::string greeting = "200 scripted server ready\r\n";
  // The answer to one command line (without its CR LF); "" sends nothing.
  std::function<std::string(const std::string&)> answer = [this](const std::string& line) {
    if (line == "POST") return postReply;
    return std::string(line == "QUIT" ? "205 bye\r\n" : "500 unknown\r\n");
  };
  std::string postReply = "340 send it\r\n";
  std::string finalReply = "240 article posted\r\n";
  std::string earlyReply;             // sent once the first article bytes arrive
  bool closeOnPostData = false;       // drop the connection once article data arrives
  std::string received;               // every byte the client sent
  std::vector<std::string> commands;  // the command lines, without the articles
  bool closedByClient = false;
  TWSocket* peer = nullptr;

  ScriptedServer() {
    server_.OnAccept = [this](TWSocket& p) {
      p.OnDataAvailable = [this, &p](TObject*, std::uint16_t) {
        char buf[8192];
        int n = p.Receive(buf, sizeof buf);
        if (n > 0) Take(p, std::string(buf, static_cast<std::size_t>(n)));
      };
      p.OnSessionClosed = [this](TObject*, std::uint16_t) { closedByClient = true; };
    };
    server_.OnReady = [this](TWSocket& p) {
      peer = &p;
      if (!greeting.empty()) p.SendString(greeting);
    };
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  const std::string& Port() const { return server_.Port(); }
  // What came after the first "POST\r\n".
  std::string ArticleBytes() const {
    std::size_t at = received.find("POST\r\n");
    return at == std::string::npos ? "" : received.substr(at + 6);
  }
  // Reads up to `limit` bytes at once, for a server that reads slowly: the
  // test pauses the connection's notifications and calls this on a timer.
  // Returns the bytes read.
  std::size_t ReadSome(std::size_t limit) {
    std::size_t got = 0;
    char buf[65536];
    std::string bytes;
    while (got < limit) {
      int n = peer->Receive(buf, static_cast<int>(std::min(sizeof buf, limit - got)));
      if (n <= 0) break;
      bytes.append(buf, static_cast<std::size_t>(n));
      got += static_cast<std::size_t>(n);
    }
    if (got > 0) Take(*peer, bytes);
    return got;
  }
  // Whether an article has ended: a "." line after a line end (or at once).
  static bool Ended(const std::string& article) {
    return article == ".\r\n" ||
           (article.size() >= 4 && article.compare(article.size() - 4, 4, "\n.\r\n") == 0);
  }

 private:
  void Take(TWSocket& p, const std::string& bytes) {
    received += bytes;
    pending_ += bytes;
    while (!pending_.empty()) {
      if (inArticle_) {
        if (closeOnPostData) {
          inArticle_ = false;
          pending_.clear();
          p.Abort();
          return;
        }
        if (!earlyReply.empty()) {
          p.SendString(earlyReply);
          earlyReply.clear();
        }
        // The end marker is looked for in the whole article, as it may
        // arrive cut anywhere.
        std::size_t from = article_.size() >= 3 ? article_.size() - 3 : 0;
        article_ += pending_;
        pending_.clear();
        std::size_t end = article_.compare(0, 3, ".\r\n") == 0 ? 0 : article_.find("\n.\r\n", from);
        if (end == std::string::npos) return;
        std::size_t after = end == 0 ? 3 : end + 4;
        pending_ = article_.substr(after);
        article_.clear();
        inArticle_ = false;
        if (!finalReply.empty()) p.SendString(finalReply);
        continue;
      }
      std::size_t eol = pending_.find("\r\n");
      if (eol == std::string::npos) return;
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 2);
      commands.push_back(line);
      std::string reply = answer(line);
      if (!reply.empty()) p.SendString(reply);
      inArticle_ = reply.rfind("340", 0) == 0;
    }
  }
  LoopbackServer server_;
  std::string pending_, article_;
  bool inArticle_ = false;
};
