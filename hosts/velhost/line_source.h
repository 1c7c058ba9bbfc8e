// Where statements come from: the prompt (with line editing and history),
// a stream (a script file, standard input), or a text held in memory.
#ifndef VELHOST_LINE_SOURCE_H
#define VELHOST_LINE_SOURCE_H

#include <istream>
#include <optional>
#include <string>

namespace velhost {

class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next line without its line end; nothing at the end of input.
  // continuation: the line goes on an unfinished statement.
  virtual std::optional<std::string> Read(bool continuation) = 0;
  // A person types the lines (errors then carry no line numbers).
  virtual bool interactive() const { return false; }
};

class StreamLineSource : public LineSource {
 public:
  explicit StreamLineSource(std::istream& in) : in_(in) {}
  std::optional<std::string> Read(bool continuation) override;

 private:
  std::istream& in_;
};

// The prompt, through the readline library; the history is kept in
// history_file (when not empty) between runs.
class PromptLineSource : public LineSource {
 public:
  explicit PromptLineSource(std::string history_file);
  ~PromptLineSource() override;
  PromptLineSource(const PromptLineSource&) = delete;
  PromptLineSource& operator=(const PromptLineSource&) = delete;

  std::optional<std::string> Read(bool continuation) override;
  bool interactive() const override { return true; }
  // Adds a whole statement to the history (once it is complete).
  void Remember(const std::string& statement);

 private:
  std::string history_file_;
};

}  // namespace velhost

#endif
