// The DWARF call-frame rule table: a fixed-size, allocation-free table of
// where the caller's registers and the canonical frame address (CFA) are,
// the evaluator of CIE/FDE programs that fills it up to a target address,
// the step that applies it to a thread state, and the DWARF expression
// evaluator that rules may need.
//
// Instantiated for 32-bit (`uint32_t`) and 64-bit (`uint64_t`) images.
// Everything is async-signal-safe; every bound (rule pool, remembered-state
// depth, expression stack, stream ends) fails with a code.
#pragma once

#include <cstdint>

#include "crashcapture/KCRAsync.h"
#include "crashcapture/KCRAsyncDwarfEncoding.h"
#include "crashcapture/KCRAsyncThreadState.h"

namespace kcr::async {

enum kcr_dwarf_cfa_reg_rule_t : uint32_t {
    KCR_DWARF_CFA_REG_RULE_OFFSET = 0,      // value at CFA + N (N already scaled)
    KCR_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,  // CFA + N
    KCR_DWARF_CFA_REG_RULE_REGISTER = 2,    // value of register R
    KCR_DWARF_CFA_REG_RULE_EXPRESSION = 3,  // value at the address an expression gives
    KCR_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
    KCR_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
};

enum kcr_dwarf_cfa_rule_type : uint32_t {
    KCR_DWARF_CFA_RULE_TYPE_UNDEFINED = 0,
    KCR_DWARF_CFA_RULE_TYPE_EXPRESSION = 1,
    KCR_DWARF_CFA_RULE_TYPE_REGISTER = 2,
    KCR_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED = 3,
};

template <typename machine_ptr>
struct dwarf_cfa_rule {
    kcr_dwarf_cfa_rule_type type = KCR_DWARF_CFA_RULE_TYPE_UNDEFINED;
    uint64_t reg_or_address = 0;  // DWARF register, or the expression's task address
    int64_t offset_or_length = 0;
};

template <typename machine_ptr>
class cfa_program;

template <typename machine_ptr>
class dwarf_cfa_state {
  public:
    static constexpr uint8_t kMaxLevels = 6;
    static constexpr uint8_t kBuckets = 14;
    static constexpr uint8_t kEntries = 100;
    static constexpr uint8_t kEmpty = 255;

    struct rule_entry {
        machine_ptr value = 0;
        uint32_t regnum = 0;
        uint32_t kind = 0;
        uint8_t next = kEmpty;
    };

    dwarf_cfa_state();

    // Replaces the register's rule in the current level, or adds one; false
    // when the pool is exhausted.
    bool set_register(uint32_t regnum, kcr_dwarf_cfa_reg_rule_t kind, machine_ptr value);
    bool get_register_rule(uint32_t regnum, kcr_dwarf_cfa_reg_rule_t* kind, machine_ptr* value) const;
    void remove_register(uint32_t regnum);
    uint8_t get_register_count() const { return counts_[level_]; }

    void set_cfa_register(uint32_t regnum, machine_ptr offset);
    void set_cfa_register_signed(uint32_t regnum, int64_t offset);
    void set_cfa_expression(uint64_t address, uint64_t length);
    dwarf_cfa_rule<machine_ptr> get_cfa_rule() const { return cfa_[level_]; }

    // Remembers the current row: the next level starts as a copy of this one
    // (CFA and every register rule). False at the deepest level or when the
    // pool cannot hold the copy.
    bool push_state();
    // Returns to the remembered row; the left level's entries go back to the
    // pool. False at level 0.
    bool pop_state();
    uint8_t level() const { return level_; }

    // Runs the instructions at [address, + length) of the view. Rows are
    // applied while their location is not above the target address (0: run
    // to the end). `initial_location` is the FDE's pc start. 0, 3 (table
    // full or remembered-state limit), 4 (unsupported instruction or
    // encoding), 5 (malformed or outside the view).
    [[nodiscard]] kcr_error_t eval_program(async_dwarf_memory* memory, uint64_t target_address,
                                           uint64_t initial_location, const kcr_async_dwarf_cie_info* cie,
                                           const gnu_ehptr_reader<machine_ptr>* reader, uint64_t address,
                                           uint64_t length);

    // Computes the caller's state from the rules and the current state.
    // Expression rules read their bytes from `memory`.
    [[nodiscard]] kcr_error_t apply_state(const kcr_task_t& task, async_dwarf_memory* memory,
                                          const kcr_async_dwarf_cie_info* cie,
                                          const kcr_async_thread_state* current,
                                          kcr_async_thread_state* next) const;

    // Visits every rule of the current level.
    template <typename Fn>
    void for_each_rule(Fn&& fn) const {
        for (uint8_t b = 0; b < kBuckets; ++b) {
            for (uint8_t i = buckets_[level_][b]; i != kEmpty; i = entries_[i].next)
                fn(entries_[i].regnum, static_cast<kcr_dwarf_cfa_reg_rule_t>(entries_[i].kind),
                   entries_[i].value);
        }
    }

  private:
    // One run of eval_program(), by families of instructions.
    friend class cfa_program<machine_ptr>;

    uint8_t take_entry();
    void release_level(uint8_t level);

    dwarf_cfa_rule<machine_ptr> cfa_[kMaxLevels];
    uint8_t counts_[kMaxLevels] = {};
    uint8_t buckets_[kMaxLevels][kBuckets];
    rule_entry entries_[kEntries];
    uint8_t level_ = 0;
    uint8_t free_ = 0;
};

// Evaluates the expression at [address + offset, + length) of the view with
// `initial` values pushed first (at most 100); the result is the top of the
// stack. 0, 4 (unsupported operation or register), 5 (malformed, outside the
// stream, empty result, division by zero, more than 10000 operations run: a
// loop), 6 (stack exhausted), 8 (register
// not held by the state), or a task read's error.
template <typename machine_ptr>
[[nodiscard]] kcr_error_t kcr_async_dwarf_expression_eval(async_dwarf_memory* memory, const kcr_task_t& task,
                                                          const kcr_async_thread_state* state,
                                                          uint64_t address, int64_t offset, uint64_t length,
                                                          const machine_ptr* initial, size_t initial_count,
                                                          machine_ptr* result);

}  // namespace kcr::async
