// The variables of one session, and the translation between a call as
// written and the RPC parameters the host passes.
#ifndef VELHOST_VARIABLES_H
#define VELHOST_VARIABLES_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "call_syntax.h"
#include "velsrv_host.h"

namespace velhost {

struct Variable {
  std::string name;  // as declared
  SqlType type;
  bool null = true;   // a new variable is NULL
  std::string value;  // text or bytes; an int holds 4 bytes in host order
};

// The result of an operation that may fail with a one-line reason.
struct Outcome {
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};

class Variables {
 public:
  // Names are matched without regard to case.
  const Variable* Find(const std::string& name) const;
  Outcome Declare(const Declaration& declaration);
  // Stores a literal (not DEFAULT) into a declared variable, converting it
  // to the variable's type.
  Outcome Assign(const std::string& name, const Literal& value);
  // Stores what a call sent back; bytes beyond the declared length are cut.
  void StoreRaw(const std::string& name, bool null, std::string bytes);

 private:
  static std::string Key(const std::string& name);
  std::map<std::string, Variable> variables_;
};

// The RPC parameters of a call. A text value has the character datatype, an
// integer the 4-byte integer one, a 0x literal and a binary variable the
// binary one; NULL is a character NULL, DEFAULT a void parameter. A
// variable passes its declared length as the maximum length.
struct BuiltCall {
  std::vector<velsrv::RpcParam> params;
  std::string error;  // e.g. an undeclared variable; params are then empty
};
BuiltCall BuildParams(const ExecStatement& exec, const Variables& variables);

// Copies the output values of a call into the variables passed as output
// (and the return status into "exec @rc = ..."'s variable).
void StoreOutputs(const ExecStatement& exec, const velsrv::CallResult& result, int32_t status,
                  Variables& variables);

// A variable's value as it is shown: text as it is, binary as 0x and upper
// case hex, an int in decimal, NULL as NULL.
std::string ShowValue(const Variable& variable);

}  // namespace velhost

#endif
