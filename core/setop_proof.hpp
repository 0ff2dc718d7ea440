// Set-operation transcripts: proof, from three roots alone, that the third is
// the union, intersection or difference of the coverages under the first two.
//
// The prover walks both trees with the set-operation rule and records one Step
// per node pair it visits: the two operand hashes and the result hash, plus A
// child steps exactly where the rule does not decide. The verifier rebuilds the
// ladders from the transcript's own A and D, re-applies the rule to every step,
// recomputes every hash bottom-up and compares the three roots. Given the rule,
// a transcript is unique for its inputs: a step may not descend where the rule
// decides and must descend where it does not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/support/json.hpp"
#include "core/tree.hpp"

namespace kivet {

inline constexpr uint64_t kSetOpProofVersion = 1;

// The transcript name of an operation code, and back (nothing when unknown).
std::string_view op_name(uint8_t op);
std::optional<uint8_t> op_code(std::string_view name);

struct Step {
  Hash a{}, b{}, c{};
  // Absent where the rule decided; otherwise the child steps in digit order
  // (the verifier, not the reader, insists on exactly A of them).
  std::optional<std::vector<Step>> children;

  Json to_json() const;
  [[nodiscard]] static Result<Step> from_json(const Json& value);
};

struct SetOpProof {
  std::string hash;  // hasher identity
  uint8_t op = 0;
  uint32_t a = 0, b = 0, d = 0;
  Hash root_a{}, root_b{}, root_c{};
  std::vector<Step> steps;  // one per base cell, in base order

  Json to_json() const;
  // The same text as to_json().dump(), written directly (transcripts of large
  // trees are mostly hex, and a JSON value per step costs several allocations).
  std::string dump() const;
  [[nodiscard]] static Result<SetOpProof> from_json(const Json& value);
  // False at the first defect; cost bounded by the transcript and its D.
  bool verify() const;
};

// The transcript of `op` on two compatible trees, or the error of compatible().
// Builds no result tree.
[[nodiscard]] Result<SetOpProof> prove(const Tree& a, const Tree& b, uint8_t op);

// The step of the node pair (na, nb) at height k.
Step build(const Node& na, const Node& nb, uint32_t k, uint8_t op, const Ctx& ctx);

// The step and everything below it obey the rule at height k and hash up.
// REQUIRES: ladders reach k.
bool check(const Step& step, uint32_t k, uint8_t op, const Ctx& ctx);

}  // namespace kivet
