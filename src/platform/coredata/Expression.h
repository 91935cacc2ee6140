// Expression: one side of a predicate comparison — a constant, a key path, or
// the evaluated object itself ("SELF").
//
// Expressions are immutable trees shared through ExpressionPtr; build them
// with the static factories, read them from any thread. A store may inspect
// them (kind(), constantValue(), keyPathComponents()) to translate a
// predicate into its own query language.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace plat::coredata {

class Expression;
using ExpressionPtr = std::shared_ptr<const Expression>;

class Expression {
  public:
    enum class Kind { Constant, KeyPath, EvaluatedObject };

    static ExpressionPtr constant(Value value);
    // Throws ModelException for an empty key path or an empty component.
    static ExpressionPtr keyPath(std::string keyPath);
    static ExpressionPtr evaluatedObject();

    Kind kind() const { return kind_; }
    // Constant expressions only.
    const Value& constantValue() const { return constant_; }
    // Key-path expressions only.
    const std::string& keyPath() const { return keyPath_; }
    const std::vector<std::string>& keyPathComponents() const { return components_; }

    // The expression's value for object.
    Value evaluate(const Value& object) const;
    // "SELF", the key path, or the constant as a predicate would print it.
    std::string description() const;

    Expression(Kind kind, Value constant, std::string keyPath, std::vector<std::string> components)
        : kind_(kind),
          constant_(std::move(constant)),
          keyPath_(std::move(keyPath)),
          components_(std::move(components)) {}

  private:
    Kind kind_;
    Value constant_;
    std::string keyPath_;
    std::vector<std::string> components_;
};

}  // namespace plat::coredata
