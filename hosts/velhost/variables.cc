#include "variables.h"

#include <cctype>
#include <cstring>

#include "output_format.h"

namespace velhost {
namespace {

std::string IntBytes(int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

int32_t Datatype(const SqlType& type) {
  switch (type.base) {
    case SqlType::Base::kInt:
      return VEL_INT_TYPE;
    case SqlType::Base::kBinary:
      return VEL_BINARY_TYPE;
    case SqlType::Base::kText:
      break;
  }
  return VEL_CHAR_TYPE;
}

// Converts a literal to a variable's type: the bytes to store, or an error.
Outcome Convert(const Literal& value, const Variable& target, bool* null, std::string* bytes) {
  *null = false;
  bytes->clear();
  const SqlType::Base base = target.type.base;
  switch (value.kind) {
    case Literal::Kind::kNull:
      *null = true;
      return {};
    case Literal::Kind::kInteger:
      if (base == SqlType::Base::kInt)
        *bytes = IntBytes(value.integer);
      else if (base == SqlType::Base::kText)
        *bytes = std::to_string(value.integer);
      else
        return {"cannot store an integer in " + target.name + " (" + TypeName(target.type) + ")"};
      break;
    case Literal::Kind::kText:
    case Literal::Kind::kBinary:
      if (base == SqlType::Base::kInt) {
        return {"cannot store " +
                std::string(value.kind == Literal::Kind::kText ? "text" : "a binary value") +
                " in " + target.name + " (int)"};
      }
      *bytes = value.text;
      break;
    case Literal::Kind::kDefault:
    case Literal::Kind::kVariable:
      return {"cannot store that value in " + target.name};
  }
  if (bytes->size() > static_cast<size_t>(target.type.length)) {
    bytes->resize(static_cast<size_t>(target.type.length));
  }
  return {};
}

}  // namespace

std::string Variables::Key(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

const Variable* Variables::Find(const std::string& name) const {
  auto it = variables_.find(Key(name));
  return it == variables_.end() ? nullptr : &it->second;
}

Outcome Variables::Declare(const Declaration& declaration) {
  if (Find(declaration.variable) != nullptr) {
    return {"variable " + declaration.variable + " is already declared"};
  }
  Variable variable;
  variable.name = declaration.variable;
  variable.type = declaration.type;
  if (declaration.initial) {
    Literal initial = *declaration.initial;
    if (initial.kind == Literal::Kind::kVariable) {
      return {"an initial value must be a constant, not " + initial.text};
    }
    Outcome converted = Convert(initial, variable, &variable.null, &variable.value);
    if (!converted.ok()) return converted;
  }
  variables_.emplace(Key(declaration.variable), std::move(variable));
  return {};
}

Outcome Variables::Assign(const std::string& name, const Literal& value) {
  auto it = variables_.find(Key(name));
  if (it == variables_.end()) return {"variable " + name + " is not declared"};
  Variable& target = it->second;
  Literal source = value;
  if (value.kind == Literal::Kind::kVariable) {
    const Variable* from = Find(value.text);
    if (from == nullptr) return {"variable " + value.text + " is not declared"};
    if (from->null) {
      source.kind = Literal::Kind::kNull;
    } else if (from->type.base == SqlType::Base::kInt) {
      source.kind = Literal::Kind::kInteger;
      std::memcpy(&source.integer, from->value.data(), sizeof source.integer);
    } else {
      source.kind =
          from->type.base == SqlType::Base::kText ? Literal::Kind::kText : Literal::Kind::kBinary;
      source.text = from->value;
    }
  }
  bool null = true;
  std::string bytes;
  Outcome converted = Convert(source, target, &null, &bytes);
  if (!converted.ok()) return converted;
  target.null = null;
  target.value = std::move(bytes);
  return {};
}

void Variables::StoreRaw(const std::string& name, bool null, std::string bytes) {
  auto it = variables_.find(Key(name));
  if (it == variables_.end()) return;
  Variable& target = it->second;
  target.null = null;
  if (null) bytes.clear();
  if (target.type.base == SqlType::Base::kInt) bytes.resize(sizeof(int32_t), '\0');
  if (bytes.size() > static_cast<size_t>(target.type.length)) {
    bytes.resize(static_cast<size_t>(target.type.length));
  }
  target.value = std::move(bytes);
}

BuiltCall BuildParams(const ExecStatement& exec, const Variables& variables) {
  BuiltCall built;
  if (!exec.status_variable.empty()) {
    const Variable* status = variables.Find(exec.status_variable);
    if (status == nullptr) return {{}, "variable " + exec.status_variable + " is not declared"};
    if (status->type.base != SqlType::Base::kInt) {
      return {{}, "the return status needs an int variable, not " + exec.status_variable};
    }
  }
  for (const Argument& argument : exec.arguments) {
    const Literal& value = argument.value;
    velsrv::RpcParam param;
    switch (value.kind) {
      case Literal::Kind::kText:
        param = velsrv::RpcParam::Text(argument.name, value.text);
        break;
      case Literal::Kind::kInteger:
        param = velsrv::RpcParam::Int(argument.name, value.integer);
        break;
      case Literal::Kind::kBinary:
        param = velsrv::RpcParam::Binary(argument.name, value.text);
        break;
      case Literal::Kind::kNull:
        param = velsrv::RpcParam::Null(argument.name, VEL_CHAR_TYPE);
        break;
      case Literal::Kind::kDefault:
        param = velsrv::RpcParam::Void(argument.name);
        break;
      case Literal::Kind::kVariable: {
        const Variable* variable = variables.Find(value.text);
        if (variable == nullptr) return {{}, "variable " + value.text + " is not declared"};
        const int32_t datatype = Datatype(variable->type);
        if (argument.output) {
          param = velsrv::RpcParam::Output(argument.name, datatype, variable->type.length,
                                           variable->value, variable->null);
        } else if (variable->null) {
          param = velsrv::RpcParam::Null(argument.name, datatype);
          param.maxlength = variable->type.length;
        } else {
          param.name = argument.name;
          param.datatype = datatype;
          param.value = variable->value;
          param.maxlength = variable->type.length;
        }
        break;
      }
    }
    built.params.push_back(std::move(param));
  }
  return built;
}

void StoreOutputs(const ExecStatement& exec, const velsrv::CallResult& result, int32_t status,
                  Variables& variables) {
  for (const velsrv::OutputValue& value : result.outputs()) {
    if (value.item < 1 || static_cast<size_t>(value.item) > exec.arguments.size()) continue;
    const Argument& argument = exec.arguments[static_cast<size_t>(value.item) - 1];
    if (!argument.output || argument.value.kind != Literal::Kind::kVariable) continue;
    variables.StoreRaw(argument.value.text, value.is_null(), value.value);
  }
  if (!exec.status_variable.empty()) {
    variables.StoreRaw(exec.status_variable, false, IntBytes(status));
  }
}

std::string ShowValue(const Variable& variable) {
  return FormatValue(Datatype(variable.type), variable.value, variable.null);
}

}  // namespace velhost
