// A functor for tests: runs a lambda, may carry a name, and counts its deletions (whether it ran
// or not) when given a counter.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include "runtime/TFunctor.h"

namespace testing_support {

struct LambdaFunctor : TFunctor {
  explicit LambdaFunctor(std::function<void()> body, std::atomic<int>* deleted = nullptr, const char16_t* name = nullptr)
      : body(std::move(body)), deleted(deleted) {
    m_name = name;
    NotifyCreated();
  }
  ~LambdaFunctor() override {
    if (deleted != nullptr) ++*deleted;
  }
  void Execute() override { body(); }

  std::function<void()> body;
  std::atomic<int>* deleted;
};

}  // namespace testing_support
