#include "crashcapture/KCRAsyncDwarfCFAState.h"

#include <type_traits>
#include <utility>

namespace kcr::async {

namespace {

// Call-frame instructions.
enum : uint8_t {
    DW_CFA_nop = 0x00,
    DW_CFA_set_loc = 0x01,
    DW_CFA_advance_loc1 = 0x02,
    DW_CFA_advance_loc2 = 0x03,
    DW_CFA_advance_loc4 = 0x04,
    DW_CFA_offset_extended = 0x05,
    DW_CFA_restore_extended = 0x06,
    DW_CFA_undefined = 0x07,
    DW_CFA_same_value = 0x08,
    DW_CFA_register = 0x09,
    DW_CFA_remember_state = 0x0A,
    DW_CFA_restore_state = 0x0B,
    DW_CFA_def_cfa = 0x0C,
    DW_CFA_def_cfa_register = 0x0D,
    DW_CFA_def_cfa_offset = 0x0E,
    DW_CFA_def_cfa_expression = 0x0F,
    DW_CFA_expression = 0x10,
    DW_CFA_offset_extended_sf = 0x11,
    DW_CFA_def_cfa_sf = 0x12,
    DW_CFA_def_cfa_offset_sf = 0x13,
    DW_CFA_val_offset = 0x14,
    DW_CFA_val_offset_sf = 0x15,
    DW_CFA_val_expression = 0x16,
    DW_CFA_GNU_args_size = 0x2E,
    DW_CFA_GNU_negative_offset_extended = 0x2F,
    DW_CFA_advance_loc = 0x40,
    DW_CFA_offset = 0x80,
    DW_CFA_restore = 0xC0,
};

}  // namespace

template <typename machine_ptr>
dwarf_cfa_state<machine_ptr>::dwarf_cfa_state() {
    for (auto& level : buckets_) {
        for (auto& bucket : level)
            bucket = kEmpty;
    }
    for (uint8_t i = 0; i < kEntries; ++i)
        entries_[i].next = i + 1 < kEntries ? static_cast<uint8_t>(i + 1) : kEmpty;
    free_ = 0;
}

template <typename machine_ptr>
uint8_t dwarf_cfa_state<machine_ptr>::take_entry() {
    uint8_t index = free_;
    if (index != kEmpty) {
        free_ = entries_[index].next;
        entries_[index].next = kEmpty;
    }
    return index;
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::set_register(uint32_t regnum, kcr_dwarf_cfa_reg_rule_t kind,
                                                machine_ptr value) {
    uint8_t* link = &buckets_[level_][regnum % kBuckets];
    while (*link != kEmpty) {
        rule_entry& e = entries_[*link];
        if (e.regnum == regnum) {
            e.kind = kind;
            e.value = value;
            return true;
        }
        link = &e.next;
    }
    uint8_t index = take_entry();
    if (index == kEmpty)
        return false;
    entries_[index].regnum = regnum;
    entries_[index].kind = kind;
    entries_[index].value = value;
    entries_[index].next = kEmpty;
    *link = index;
    counts_[level_]++;
    return true;
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::get_register_rule(uint32_t regnum, kcr_dwarf_cfa_reg_rule_t* kind,
                                                     machine_ptr* value) const {
    for (uint8_t i = buckets_[level_][regnum % kBuckets]; i != kEmpty; i = entries_[i].next) {
        if (entries_[i].regnum == regnum) {
            *kind = static_cast<kcr_dwarf_cfa_reg_rule_t>(entries_[i].kind);
            *value = entries_[i].value;
            return true;
        }
    }
    return false;
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::remove_register(uint32_t regnum) {
    uint8_t* link = &buckets_[level_][regnum % kBuckets];
    while (*link != kEmpty) {
        uint8_t index = *link;
        if (entries_[index].regnum == regnum) {
            *link = entries_[index].next;
            entries_[index].next = free_;
            free_ = index;
            counts_[level_]--;
        } else {
            link = &entries_[index].next;
        }
    }
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_register(uint32_t regnum, machine_ptr offset) {
    cfa_[level_] = {KCR_DWARF_CFA_RULE_TYPE_REGISTER, regnum, static_cast<int64_t>(offset)};
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_register_signed(uint32_t regnum, int64_t offset) {
    cfa_[level_] = {KCR_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED, regnum, offset};
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_expression(uint64_t address, uint64_t length) {
    cfa_[level_] = {KCR_DWARF_CFA_RULE_TYPE_EXPRESSION, address, static_cast<int64_t>(length)};
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::release_level(uint8_t level) {
    for (auto& bucket : buckets_[level]) {
        uint8_t i = bucket;
        while (i != kEmpty) {
            uint8_t next = entries_[i].next;
            entries_[i].next = free_;
            free_ = i;
            i = next;
        }
        bucket = kEmpty;
    }
    counts_[level] = 0;
    cfa_[level] = {};
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::push_state() {
    if (level_ + 1 >= kMaxLevels)
        return false;
    const uint8_t from = level_;
    const uint8_t to = static_cast<uint8_t>(level_ + 1);
    release_level(to);
    level_ = to;
    cfa_[to] = cfa_[from];
    for (uint8_t b = 0; b < kBuckets; ++b) {
        for (uint8_t i = buckets_[from][b]; i != kEmpty; i = entries_[i].next) {
            if (!set_register(entries_[i].regnum, static_cast<kcr_dwarf_cfa_reg_rule_t>(entries_[i].kind),
                              entries_[i].value)) {
                release_level(to);
                level_ = from;
                return false;
            }
        }
    }
    return true;
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::pop_state() {
    if (level_ == 0)
        return false;
    release_level(level_);
    level_--;
    return true;
}

namespace {

// A cursor over an instruction or expression stream in the view.
struct opstream {
    async_dwarf_memory* memory;
    uint64_t position;
    uint64_t start;
    uint64_t end;

    bool init(async_dwarf_memory* m, uint64_t address, uint64_t length) {
        memory = m;
        if (address + length < address || address < m->base || address + length > m->end)
            return false;
        position = start = address;
        end = address + length;
        return true;
    }
    bool at_end() const { return position >= end; }
    kcr_error_t u(uint32_t size, uint64_t* value) {
        if (end - position < size || position > end)
            return KCR_EINVAL;
        kcr_error_t error = async_dwarf_read_uintmax(memory, position, 0, size, value);
        if (error == KCR_ESUCCESS)
            position += size;
        return error == KCR_ESUCCESS ? KCR_ESUCCESS : KCR_EINVAL;
    }
    kcr_error_t uleb(uint64_t* value) {
        size_t n = 0;
        if (async_dwarf_read_uleb128(memory, position, 0, value, &n) != KCR_ESUCCESS || end - position < n)
            return KCR_EINVAL;
        position += n;
        return KCR_ESUCCESS;
    }
    kcr_error_t sleb(int64_t* value) {
        size_t n = 0;
        if (async_dwarf_read_sleb128(memory, position, 0, value, &n) != KCR_ESUCCESS || end - position < n)
            return KCR_EINVAL;
        position += n;
        return KCR_ESUCCESS;
    }
    // Moves by a signed offset; false when the target leaves the stream.
    bool skip(int64_t offset) {
        uint64_t target = 0;
        if (!async_address_apply_offset(position, offset, &target) || target < start || target > end)
            return false;
        position = target;
        return true;
    }
};

}  // namespace

// One run of a CIE or FDE program over a rule table: the instruction
// stream, the location reached, the rules in force at the start (what
// DW_CFA_restore goes back to), and one function per family of
// instructions. A failed step ends the run with its code.
template <typename machine_ptr>
class cfa_program {
  public:
    using state_type = dwarf_cfa_state<machine_ptr>;

    cfa_program(state_type& state, async_dwarf_memory* memory, const kcr_async_dwarf_cie_info* cie,
                const gnu_ehptr_reader<machine_ptr>* reader, uint64_t initial_location)
        : state_(state), memory_(memory), cie_(cie), reader_(reader) {
        location = static_cast<machine_ptr>(initial_location);
        if (cie->eh_augmentation.data_present && cie->eh_augmentation.has_pointer_encoding &&
            reader != nullptr)
            encoding_ = cie->eh_augmentation.pointer_encoding;
    }

    opstream stream;
    machine_ptr location = 0;

    // Keeps the current level's rules as the program's initial ones.
    kcr_error_t remember_initial_rules() {
        for (uint8_t b = 0; b < state_type::kBuckets; ++b) {
            for (uint8_t i = state_.buckets_[state_.level_][b]; i != state_type::kEmpty;
                 i = state_.entries_[i].next) {
                if (initial_count_ == state_type::kEntries)
                    return KCR_ENOMEM;
                const auto& entry = state_.entries_[i];
                initial_[initial_count_++] = {entry.regnum, entry.kind, entry.value};
            }
        }
        return KCR_ESUCCESS;
    }

    // Runs one instruction: `opcode` with its low six bits in `operand` for
    // the three instructions that carry one there.
    kcr_error_t step(uint8_t opcode, uint8_t operand) {
        switch (opcode) {
            case DW_CFA_nop:
                return KCR_ESUCCESS;
            case DW_CFA_GNU_args_size: {
                uint64_t ignored = 0;
                return stream.uleb(&ignored) == KCR_ESUCCESS ? KCR_ESUCCESS : KCR_EINVAL;
            }
            case DW_CFA_set_loc:
                return set_location();
            case DW_CFA_advance_loc:
            case DW_CFA_advance_loc1:
            case DW_CFA_advance_loc2:
            case DW_CFA_advance_loc4:
                return advance(opcode, operand);
            case DW_CFA_offset:
            case DW_CFA_offset_extended:
            case DW_CFA_offset_extended_sf:
            case DW_CFA_val_offset:
            case DW_CFA_val_offset_sf:
            case DW_CFA_GNU_negative_offset_extended:
                return offset_rule(opcode, operand);
            case DW_CFA_restore:
            case DW_CFA_restore_extended:
                return restore(opcode, operand);
            case DW_CFA_undefined:
            case DW_CFA_same_value:
                return undefined_or_same_value(opcode);
            case DW_CFA_register:
                return register_rule();
            case DW_CFA_remember_state:
                return state_.push_state() ? KCR_ESUCCESS : KCR_ENOMEM;
            case DW_CFA_restore_state:
                return state_.pop_state() ? KCR_ESUCCESS : KCR_EINVAL;
            case DW_CFA_def_cfa:
            case DW_CFA_def_cfa_sf:
                return define_cfa(opcode);
            case DW_CFA_def_cfa_register:
            case DW_CFA_def_cfa_offset:
            case DW_CFA_def_cfa_offset_sf:
                return change_cfa(opcode);
            case DW_CFA_def_cfa_expression:
                return define_cfa_expression();
            case DW_CFA_expression:
            case DW_CFA_val_expression:
                return expression_rule(opcode);
            default:
                return KCR_ENOTSUP;
        }
    }

  private:
    using machine_ptr_s = std::make_signed_t<machine_ptr>;

    struct initial_rule {
        uint32_t regnum;
        uint32_t kind;
        machine_ptr value;
    };

    static bool reg32(uint64_t reg, uint32_t* out) {
        if (reg > UINT32_MAX)
            return false;
        *out = static_cast<uint32_t>(reg);
        return true;
    }

    // A register operand from the stream: 5 when unreadable, 4 beyond 32 bits.
    kcr_error_t read_register(uint32_t* reg) {
        uint64_t value = 0;
        if (stream.uleb(&value) != KCR_ESUCCESS)
            return KCR_EINVAL;
        return reg32(value, reg) ? KCR_ESUCCESS : KCR_ENOTSUP;
    }

    // The register of an instruction that has a compact form (`compact`),
    // which carries it in the opcode's low bits (`operand`), and extended
    // forms, which read it as the first operand.
    kcr_error_t operand_register(uint8_t opcode, uint8_t compact, uint8_t operand, uint32_t* reg) {
        if (opcode != compact)
            return read_register(reg);
        return reg32(operand, reg) ? KCR_ESUCCESS : KCR_ENOTSUP;
    }

    int64_t data_aligned(int64_t factored) const {
        return static_cast<int64_t>(static_cast<uint64_t>(factored) *
                                    static_cast<uint64_t>(cie_->data_alignment_factor));
    }

    kcr_error_t set_location() {
        if (cie_->segment_size != 0)
            return KCR_ENOTSUP;
        machine_ptr value = 0;
        size_t size = 0;
        gnu_ehptr_reader<machine_ptr> absolute(memory_->order);
        const gnu_ehptr_reader<machine_ptr>* r = reader_ != nullptr ? reader_ : &absolute;
        kcr_error_t error = r->read(memory_, stream.position, 0, encoding_, &value, &size);
        if (error != KCR_ESUCCESS)
            return error;
        if (!stream.skip(static_cast<int64_t>(size)))
            return KCR_EINVAL;
        location = value;
        return KCR_ESUCCESS;
    }

    kcr_error_t advance(uint8_t opcode, uint8_t operand) {
        uint64_t delta = operand;
        if (opcode != DW_CFA_advance_loc) {
            const uint32_t size = opcode == DW_CFA_advance_loc1 ? 1 : opcode == DW_CFA_advance_loc2 ? 2 : 4;
            if (stream.u(size, &delta) != KCR_ESUCCESS)
                return KCR_EINVAL;
        }
        location = static_cast<machine_ptr>(location +
                                            static_cast<machine_ptr>(delta * cie_->code_alignment_factor));
        return KCR_ESUCCESS;
    }

    // The register saved at (or, val forms, equal to) the CFA plus a
    // factored offset.
    kcr_error_t offset_rule(uint8_t opcode, uint8_t operand) {
        uint32_t reg = 0;
        if (kcr_error_t error = operand_register(opcode, DW_CFA_offset, operand, &reg); error != KCR_ESUCCESS)
            return error;
        int64_t factored = 0;
        if (opcode == DW_CFA_offset_extended_sf || opcode == DW_CFA_val_offset_sf) {
            if (stream.sleb(&factored) != KCR_ESUCCESS)
                return KCR_EINVAL;
        } else {
            uint64_t unsigned_factored = 0;
            if (stream.uleb(&unsigned_factored) != KCR_ESUCCESS)
                return KCR_EINVAL;
            factored = static_cast<int64_t>(unsigned_factored);
        }
        if (opcode == DW_CFA_GNU_negative_offset_extended)
            factored = -factored;
        const machine_ptr value =
            static_cast<machine_ptr>(static_cast<machine_ptr_s>(data_aligned(factored)));
        const bool val = opcode == DW_CFA_val_offset || opcode == DW_CFA_val_offset_sf;
        if (!state_.set_register(reg, val ? KCR_DWARF_CFA_REG_RULE_VAL_OFFSET : KCR_DWARF_CFA_REG_RULE_OFFSET,
                                 value))
            return KCR_ENOMEM;
        return KCR_ESUCCESS;
    }

    // Back to the register's rule at the start of the program (none: no rule).
    kcr_error_t restore(uint8_t opcode, uint8_t operand) {
        uint32_t reg = 0;
        if (kcr_error_t error = operand_register(opcode, DW_CFA_restore, operand, &reg);
            error != KCR_ESUCCESS)
            return error;
        for (size_t i = 0; i < initial_count_; ++i) {
            if (initial_[i].regnum == reg)
                return state_.set_register(reg, static_cast<kcr_dwarf_cfa_reg_rule_t>(initial_[i].kind),
                                           initial_[i].value)
                           ? KCR_ESUCCESS
                           : KCR_ENOMEM;
        }
        state_.remove_register(reg);
        return KCR_ESUCCESS;
    }

    kcr_error_t undefined_or_same_value(uint8_t opcode) {
        uint32_t reg = 0;
        if (kcr_error_t error = read_register(&reg); error != KCR_ESUCCESS)
            return error;
        if (opcode == DW_CFA_undefined) {
            state_.remove_register(reg);
            return KCR_ESUCCESS;
        }
        return state_.set_register(reg, KCR_DWARF_CFA_REG_RULE_SAME_VALUE, 0) ? KCR_ESUCCESS : KCR_ENOMEM;
    }

    kcr_error_t register_rule() {
        uint64_t a = 0, b = 0;
        if (stream.uleb(&a) != KCR_ESUCCESS || stream.uleb(&b) != KCR_ESUCCESS)
            return KCR_EINVAL;
        uint32_t reg = 0, other = 0;
        if (!reg32(a, &reg) || !reg32(b, &other))
            return KCR_ENOTSUP;
        return state_.set_register(reg, KCR_DWARF_CFA_REG_RULE_REGISTER, other) ? KCR_ESUCCESS : KCR_ENOMEM;
    }

    // A new CFA rule: register plus offset (def_cfa) or factored offset (def_cfa_sf).
    kcr_error_t define_cfa(uint8_t opcode) {
        uint64_t a = 0, b = 0;
        int64_t sb = 0;
        if (stream.uleb(&a) != KCR_ESUCCESS ||
            (opcode == DW_CFA_def_cfa ? stream.uleb(&b) : stream.sleb(&sb)) != KCR_ESUCCESS)
            return KCR_EINVAL;
        uint32_t reg = 0;
        if (!reg32(a, &reg))
            return KCR_ENOTSUP;
        if (opcode == DW_CFA_def_cfa)
            state_.set_cfa_register(reg, static_cast<machine_ptr>(b));
        else
            state_.set_cfa_register_signed(reg, data_aligned(sb));
        return KCR_ESUCCESS;
    }

    // A new register or offset for the current register-based CFA rule.
    kcr_error_t change_cfa(uint8_t opcode) {
        dwarf_cfa_rule<machine_ptr>& rule = state_.cfa_[state_.level_];
        if (rule.type != KCR_DWARF_CFA_RULE_TYPE_REGISTER &&
            rule.type != KCR_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED)
            return KCR_EINVAL;
        if (opcode == DW_CFA_def_cfa_register) {
            uint32_t reg = 0;
            if (kcr_error_t error = read_register(&reg); error != KCR_ESUCCESS)
                return error;
            rule.reg_or_address = reg;
        } else if (opcode == DW_CFA_def_cfa_offset) {
            uint64_t offset = 0;
            if (stream.uleb(&offset) != KCR_ESUCCESS)
                return KCR_EINVAL;
            state_.set_cfa_register(static_cast<uint32_t>(rule.reg_or_address),
                                    static_cast<machine_ptr>(offset));
        } else {
            int64_t factored = 0;
            if (stream.sleb(&factored) != KCR_ESUCCESS)
                return KCR_EINVAL;
            state_.set_cfa_register_signed(static_cast<uint32_t>(rule.reg_or_address),
                                           data_aligned(factored));
        }
        return KCR_ESUCCESS;
    }

    kcr_error_t define_cfa_expression() {
        uint64_t length = 0;
        if (stream.uleb(&length) != KCR_ESUCCESS)
            return KCR_EINVAL;
        if (static_cast<int64_t>(length) < 0)
            return KCR_ENOTSUP;
        const uint64_t expression = stream.position;
        if (!stream.skip(static_cast<int64_t>(length)))
            return KCR_EINVAL;
        state_.set_cfa_expression(expression, length);
        return KCR_ESUCCESS;
    }

    // The register's rule is an expression, kept as the address of its
    // length field.
    kcr_error_t expression_rule(uint8_t opcode) {
        uint32_t reg = 0;
        if (kcr_error_t error = read_register(&reg); error != KCR_ESUCCESS)
            return error;
        const uint64_t length_field = stream.position;
        uint64_t length = 0;
        if (stream.uleb(&length) != KCR_ESUCCESS)
            return KCR_EINVAL;
        if (static_cast<int64_t>(length) < 0 || !stream.skip(static_cast<int64_t>(length)))
            return KCR_EINVAL;
        const auto kind = opcode == DW_CFA_expression ? KCR_DWARF_CFA_REG_RULE_EXPRESSION
                                                      : KCR_DWARF_CFA_REG_RULE_VAL_EXPRESSION;
        return state_.set_register(reg, kind, static_cast<machine_ptr>(length_field)) ? KCR_ESUCCESS
                                                                                      : KCR_ENOMEM;
    }

    state_type& state_;
    async_dwarf_memory* memory_;
    const kcr_async_dwarf_cie_info* cie_;
    const gnu_ehptr_reader<machine_ptr>* reader_;
    uint8_t encoding_ = DW_EH_PE::absptr;
    initial_rule initial_[state_type::kEntries];
    size_t initial_count_ = 0;
};

template <typename machine_ptr>
kcr_error_t dwarf_cfa_state<machine_ptr>::eval_program(async_dwarf_memory* memory, uint64_t target_address,
                                                       uint64_t initial_location,
                                                       const kcr_async_dwarf_cie_info* cie,
                                                       const gnu_ehptr_reader<machine_ptr>* reader,
                                                       uint64_t address, uint64_t length) {
    cfa_program<machine_ptr> program(*this, memory, cie, reader, initial_location);
    if (kcr_error_t error = program.remember_initial_rules(); error != KCR_ESUCCESS)
        return error;
    if (!program.stream.init(memory, address, length))
        return KCR_EINVAL;
    const machine_ptr target = static_cast<machine_ptr>(target_address);
    if (target != 0 && program.location > target)
        return KCR_ESUCCESS;
    while (!program.stream.at_end()) {
        uint64_t byte = 0;
        if (program.stream.u(1, &byte) != KCR_ESUCCESS)
            return KCR_EINVAL;
        // Three instructions keep an operand in their low six bits.
        uint8_t opcode = static_cast<uint8_t>(byte);
        uint8_t operand = 0;
        if ((opcode & 0xC0) != 0) {
            operand = opcode & 0x3F;
            opcode &= 0xC0;
        }
        if (kcr_error_t error = program.step(opcode, operand); error != KCR_ESUCCESS)
            return error;
        // Rows past the target are not applied.
        if (target != 0 && program.location > target)
            return KCR_ESUCCESS;
    }
    return KCR_ESUCCESS;
}

namespace {

// The word of the thread's width (4 or 8 bytes) at `address`.
kcr_error_t read_word(const kcr_task_t& task, uint64_t address, uint64_t width, uint64_t* result) {
    if (width == 4) {
        uint32_t word = 0;
        const kcr_error_t error = async_task_memcpy(task, address, 0, &word, 4);
        *result = word;
        return error;
    }
    uint64_t word = 0;
    const kcr_error_t error = async_task_memcpy(task, address, 0, &word, 8);
    *result = word;
    return error;
}

// The frame's CFA: a register plus an offset, or an expression's value.
template <typename machine_ptr>
kcr_error_t canonical_frame_address(const kcr_task_t& task, async_dwarf_memory* memory,
                                    const kcr_async_thread_state* current,
                                    const dwarf_cfa_rule<machine_ptr>& rule, machine_ptr* cfa) {
    switch (rule.type) {
        case KCR_DWARF_CFA_RULE_TYPE_REGISTER:
        case KCR_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED: {
            uint32_t reg = 0;
            if (!async_thread_state_map_dwarf_to_reg(current, rule.reg_or_address, &reg))
                return KCR_ENOTSUP;
            if (!async_thread_state_has_reg(current, reg))
                return KCR_ENOTFOUND;
            *cfa = static_cast<machine_ptr>(async_thread_state_get_reg(current, reg) +
                                            static_cast<uint64_t>(rule.offset_or_length));
            return KCR_ESUCCESS;
        }
        case KCR_DWARF_CFA_RULE_TYPE_EXPRESSION:
            return kcr_async_dwarf_expression_eval<machine_ptr>(memory, task, current, rule.reg_or_address, 0,
                                                                static_cast<uint64_t>(rule.offset_or_length),
                                                                nullptr, 0, cfa);
        default:
            return KCR_EINVAL;
    }
}

// The caller's value of a register under one rule; `target` is where the
// register sits in the thread state (for "same value").
template <typename machine_ptr>
kcr_error_t rule_value(const kcr_task_t& task, async_dwarf_memory* memory,
                       const kcr_async_thread_state* current, machine_ptr cfa, kcr_dwarf_cfa_reg_rule_t kind,
                       machine_ptr value, uint32_t target, uint64_t* result) {
    const uint64_t width = async_thread_state_get_greg_size(current);
    switch (kind) {
        case KCR_DWARF_CFA_REG_RULE_OFFSET:
        case KCR_DWARF_CFA_REG_RULE_VAL_OFFSET: {
            const machine_ptr address = static_cast<machine_ptr>(cfa + value);
            if (kind == KCR_DWARF_CFA_REG_RULE_OFFSET)
                return read_word(task, address, width, result);
            *result = address;
            return KCR_ESUCCESS;
        }
        case KCR_DWARF_CFA_REG_RULE_REGISTER: {
            uint32_t source = 0;
            if (!async_thread_state_map_dwarf_to_reg(current, value, &source))
                return KCR_EINVAL;
            if (!async_thread_state_has_reg(current, source))
                return KCR_ENOTFOUND;
            *result = async_thread_state_get_reg(current, source);
            return KCR_ESUCCESS;
        }
        case KCR_DWARF_CFA_REG_RULE_EXPRESSION:
        case KCR_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
            // The rule holds the address of the expression's length field;
            // the expression starts with the CFA on its stack.
            uint64_t length = 0;
            size_t n = 0;
            if (kcr_error_t error = async_dwarf_read_uleb128(memory, value, 0, &length, &n);
                error != KCR_ESUCCESS)
                return error;
            machine_ptr computed = 0;
            if (kcr_error_t error = kcr_async_dwarf_expression_eval<machine_ptr>(
                    memory, task, current, value, static_cast<int64_t>(n), length, &cfa, 1, &computed);
                error != KCR_ESUCCESS)
                return error;
            if (kind == KCR_DWARF_CFA_REG_RULE_EXPRESSION)
                return read_word(task, computed, width, result);
            *result = computed;
            return KCR_ESUCCESS;
        }
        case KCR_DWARF_CFA_REG_RULE_SAME_VALUE:
            if (!async_thread_state_has_reg(current, target))
                return KCR_ENOTFOUND;
            *result = async_thread_state_get_reg(current, target);
            return KCR_ESUCCESS;
        default:
            *result = 0;
            return KCR_ESUCCESS;
    }
}

}  // namespace

template <typename machine_ptr>
kcr_error_t dwarf_cfa_state<machine_ptr>::apply_state(const kcr_task_t& task, async_dwarf_memory* memory,
                                                      const kcr_async_dwarf_cie_info* cie,
                                                      const kcr_async_thread_state* current,
                                                      kcr_async_thread_state* next) const {
    async_thread_state_copy(next, current);
    async_thread_state_clear_volatile_regs(next);
    async_thread_state_clear_reg(next, 0);
    machine_ptr cfa = 0;
    if (kcr_error_t error = canonical_frame_address(task, memory, current, cfa_[level_], &cfa);
        error != KCR_ESUCCESS)
        return error;
    async_thread_state_set_reg(next, 2, cfa);

    uint32_t ra_reg = 0;
    const bool ra_mapped =
        async_thread_state_map_dwarf_to_reg(current, cie->return_address_register, &ra_reg);
    kcr_error_t failure = KCR_ESUCCESS;
    for_each_rule([&](uint32_t regnum, kcr_dwarf_cfa_reg_rule_t kind, machine_ptr value) {
        if (failure != KCR_ESUCCESS)
            return;
        uint32_t target = 0;
        if (!async_thread_state_map_dwarf_to_reg(current, regnum, &target)) {
            if (regnum != cie->return_address_register) {
                // A register this state does not track (vector registers,
                // flags): its rule cannot matter for the walk.
                return;
            }
            target = 0;
        }
        uint64_t result = 0;
        failure = rule_value(task, memory, current, cfa, kind, value, target, &result);
        if (failure != KCR_ESUCCESS)
            return;
        async_thread_state_set_reg(next, target, result);
        if (regnum == cie->return_address_register && ra_mapped && ra_reg != 0)
            async_thread_state_set_reg(next, 0, result);
    });
    if (failure != KCR_ESUCCESS)
        return failure;
    next->pc_is_exact = cie->eh_augmentation.signal_frame;
    if (async_thread_state_has_reg(next, 0))
        return KCR_ESUCCESS;
    // No rule for the return address: the function had not saved it, so it
    // is still in its register (the link register). Where that register is
    // the pc itself, there is no caller to find.
    if (!ra_mapped || ra_reg == 0 || !async_thread_state_has_reg(current, ra_reg))
        return KCR_EINVAL;
    async_thread_state_set_reg(next, 0, async_thread_state_get_reg(current, ra_reg));
    return KCR_ESUCCESS;
}

template class dwarf_cfa_state<uint32_t>;
template class dwarf_cfa_state<uint64_t>;

// DWARF expression operations.
namespace {
enum : uint8_t {
    DW_OP_deref = 0x06,
    DW_OP_const1u = 0x08,
    DW_OP_const1s = 0x09,
    DW_OP_const2u = 0x0A,
    DW_OP_const2s = 0x0B,
    DW_OP_const4u = 0x0C,
    DW_OP_const4s = 0x0D,
    DW_OP_const8u = 0x0E,
    DW_OP_const8s = 0x0F,
    DW_OP_constu = 0x10,
    DW_OP_consts = 0x11,
    DW_OP_dup = 0x12,
    DW_OP_drop = 0x13,
    DW_OP_over = 0x14,
    DW_OP_pick = 0x15,
    DW_OP_swap = 0x16,
    DW_OP_rot = 0x17,
    DW_OP_xderef = 0x18,
    DW_OP_abs = 0x19,
    DW_OP_and = 0x1A,
    DW_OP_div = 0x1B,
    DW_OP_minus = 0x1C,
    DW_OP_mod = 0x1D,
    DW_OP_mul = 0x1E,
    DW_OP_neg = 0x1F,
    DW_OP_not = 0x20,
    DW_OP_or = 0x21,
    DW_OP_plus = 0x22,
    DW_OP_plus_uconst = 0x23,
    DW_OP_shl = 0x24,
    DW_OP_shr = 0x25,
    DW_OP_shra = 0x26,
    DW_OP_xor = 0x27,
    DW_OP_bra = 0x28,
    DW_OP_eq = 0x29,
    DW_OP_ge = 0x2A,
    DW_OP_gt = 0x2B,
    DW_OP_le = 0x2C,
    DW_OP_lt = 0x2D,
    DW_OP_ne = 0x2E,
    DW_OP_skip = 0x2F,
    DW_OP_lit0 = 0x30,
    DW_OP_lit31 = 0x4F,
    DW_OP_breg0 = 0x70,
    DW_OP_breg31 = 0x8F,
    DW_OP_bregx = 0x92,
    DW_OP_deref_size = 0x94,
    DW_OP_xderef_size = 0x95,
    DW_OP_nop = 0x96,
};

// More operations than any real expression runs; a loop ends here.
constexpr uint32_t kMaxExpressionSteps = 10000;

template <typename machine_ptr>
struct value_stack {
    static constexpr size_t kCapacity = 100;
    machine_ptr values[kCapacity];
    size_t depth = 0;
    bool push(machine_ptr v) {
        if (depth == kCapacity)
            return false;
        values[depth++] = v;
        return true;
    }
    bool pop(machine_ptr* v) {
        if (depth == 0)
            return false;
        *v = values[--depth];
        return true;
    }
};

}  // namespace

namespace {

// The result of a two-operand operation on `a` (pushed first) and `b`;
// false for a division by zero.
template <typename machine_ptr>
bool binary_result(uint8_t op, machine_ptr a, machine_ptr b, machine_ptr* c) {
    using machine_ptr_s = std::make_signed_t<machine_ptr>;
    const auto sa = static_cast<machine_ptr_s>(a);
    const auto sb = static_cast<machine_ptr_s>(b);
    const unsigned shift = static_cast<unsigned>(static_cast<uint64_t>(b) % 64);
    const bool shift_out = shift >= sizeof(machine_ptr) * 8;
    switch (op) {
        case DW_OP_and:
            *c = a & b;
            return true;
        case DW_OP_div:
            // Signed, as DWARF defines it; the most negative value divided
            // by -1 wraps instead of trapping.
            if (b == 0)
                return false;
            *c = sb == -1 ? static_cast<machine_ptr>(0 - a) : static_cast<machine_ptr>(sa / sb);
            return true;
        case DW_OP_minus:
            *c = static_cast<machine_ptr>(a - b);
            return true;
        case DW_OP_mod:
            if (b == 0)
                return false;
            *c = a % b;
            return true;
        case DW_OP_mul:
            *c = static_cast<machine_ptr>(a * b);
            return true;
        case DW_OP_or:
            *c = a | b;
            return true;
        case DW_OP_plus:
            *c = static_cast<machine_ptr>(a + b);
            return true;
        case DW_OP_shl:
            *c = shift_out ? 0 : static_cast<machine_ptr>(a << shift);
            return true;
        case DW_OP_shr:
            *c = shift_out ? 0 : static_cast<machine_ptr>(a >> shift);
            return true;
        case DW_OP_shra:
            *c = static_cast<machine_ptr>(shift_out ? (sa < 0 ? -1 : 0) : (sa >> shift));
            return true;
        case DW_OP_xor:
            *c = a ^ b;
            return true;
        case DW_OP_eq:
            *c = a == b;
            return true;
        case DW_OP_ne:
            *c = a != b;
            return true;
        // Relations compare signed values, as DWARF defines them.
        case DW_OP_ge:
            *c = sa >= sb;
            return true;
        case DW_OP_gt:
            *c = sa > sb;
            return true;
        case DW_OP_le:
            *c = sa <= sb;
            return true;
        default:  // DW_OP_lt
            *c = sa < sb;
            return true;
    }
}

// One evaluation: the value stack, the operation stream, and what
// operations read (the task's memory, the thread's registers). Each step
// runs one operation; a failed step ends the evaluation with its code.
template <typename machine_ptr>
class expression_machine {
  public:
    expression_machine(const kcr_task_t& task, const kcr_async_thread_state* state)
        : task_(task), state_(state) {}

    value_stack<machine_ptr> stack;
    opstream stream;

    kcr_error_t step(uint8_t op) {
        if (op >= DW_OP_lit0 && op <= DW_OP_lit31)
            return stack.push(op - DW_OP_lit0) ? KCR_ESUCCESS : KCR_EINTERNAL;
        if (op >= DW_OP_breg0 && op <= DW_OP_breg31)
            return push_register(op - DW_OP_breg0);
        switch (op) {
            case DW_OP_deref:
            case DW_OP_xderef:
            case DW_OP_deref_size:
            case DW_OP_xderef_size:
                return dereference(op);
            case DW_OP_const1u:
            case DW_OP_const1s:
            case DW_OP_const2u:
            case DW_OP_const2s:
            case DW_OP_const4u:
            case DW_OP_const4s:
            case DW_OP_const8u:
            case DW_OP_const8s:
            case DW_OP_constu:
            case DW_OP_consts:
                return push_constant(op);
            case DW_OP_bregx: {
                uint64_t dwarf = 0;
                if (stream.uleb(&dwarf) != KCR_ESUCCESS)
                    return KCR_EINVAL;
                return push_register(dwarf);
            }
            case DW_OP_dup:
            case DW_OP_drop:
            case DW_OP_over:
            case DW_OP_pick:
            case DW_OP_swap:
            case DW_OP_rot:
                return rearrange(op);
            case DW_OP_abs:
            case DW_OP_neg:
            case DW_OP_not:
            case DW_OP_plus_uconst:
                return unary(op);
            case DW_OP_and:
            case DW_OP_div:
            case DW_OP_minus:
            case DW_OP_mod:
            case DW_OP_mul:
            case DW_OP_or:
            case DW_OP_plus:
            case DW_OP_shl:
            case DW_OP_shr:
            case DW_OP_shra:
            case DW_OP_xor:
            case DW_OP_eq:
            case DW_OP_ge:
            case DW_OP_gt:
            case DW_OP_le:
            case DW_OP_lt:
            case DW_OP_ne:
                return binary(op);
            case DW_OP_skip:
            case DW_OP_bra:
                return branch(op);
            case DW_OP_nop:
                return KCR_ESUCCESS;
            default:
                return KCR_ENOTSUP;
        }
    }

  private:
    using machine_ptr_s = std::make_signed_t<machine_ptr>;

    // Pushes a value that replaces the operands just popped: there is room.
    void push_result(machine_ptr value) { (void)stack.push(value); }

    kcr_error_t read_task(machine_ptr at, uint32_t size, machine_ptr* out) const {
        uint64_t value = 0;
        kcr_error_t error = async_task_memcpy(task_, at, 0, &value, size);
        if (error != KCR_ESUCCESS)
            return error;
        // The bytes are in this machine's order (the task is this machine's).
        *out = static_cast<machine_ptr>(value);
        return KCR_ESUCCESS;
    }

    // A register's value plus the signed addend that follows in the stream.
    kcr_error_t push_register(uint64_t dwarf) {
        uint32_t reg = 0;
        int64_t addend = 0;
        if (!async_thread_state_map_dwarf_to_reg(state_, dwarf, &reg))
            return KCR_ENOTSUP;
        if (!async_thread_state_has_reg(state_, reg))
            return KCR_ENOTFOUND;
        if (stream.sleb(&addend) != KCR_ESUCCESS)
            return KCR_EINVAL;
        const auto value =
            static_cast<machine_ptr>(async_thread_state_get_reg(state_, reg) + static_cast<uint64_t>(addend));
        return stack.push(value) ? KCR_ESUCCESS : KCR_EINTERNAL;
    }

    // Reads a word (or the operand's size) at the popped address; the x
    // forms pop an address space too, which this task has only one of.
    kcr_error_t dereference(uint8_t op) {
        uint64_t size = sizeof(machine_ptr);
        if (op == DW_OP_deref_size || op == DW_OP_xderef_size) {
            if (stream.u(1, &size) != KCR_ESUCCESS)
                return KCR_EINVAL;
            if (size != 1 && size != 2 && size != 4 && !(size == 8 && sizeof(machine_ptr) == 8))
                return KCR_EINVAL;
        }
        machine_ptr address = 0, space = 0, value = 0;
        if (op == DW_OP_xderef || op == DW_OP_xderef_size) {
            if (!stack.pop(&address) || !stack.pop(&space))
                return KCR_EINVAL;
        } else if (!stack.pop(&address)) {
            return KCR_EINTERNAL;
        }
        if (kcr_error_t error = read_task(address, static_cast<uint32_t>(size), &value);
            error != KCR_ESUCCESS)
            return error;
        push_result(value);
        return KCR_ESUCCESS;
    }

    kcr_error_t push_constant(uint8_t op) {
        uint64_t operand = 0;
        if (op == DW_OP_constu) {
            if (stream.uleb(&operand) != KCR_ESUCCESS)
                return KCR_EINVAL;
        } else if (op == DW_OP_consts) {
            int64_t signed_operand = 0;
            if (stream.sleb(&signed_operand) != KCR_ESUCCESS)
                return KCR_EINVAL;
            operand = static_cast<uint64_t>(signed_operand);
        } else {
            // const1u ... const8s: sizes 1, 2, 4, 8, each unsigned then signed.
            const uint32_t size = 1u << ((op - DW_OP_const1u) / 2);
            if (stream.u(size, &operand) != KCR_ESUCCESS)
                return KCR_EINVAL;
            if ((op - DW_OP_const1u) % 2 == 1 && size < 8) {
                const unsigned shift = 64 - size * 8;
                operand = static_cast<uint64_t>(static_cast<int64_t>(operand << shift) >> shift);
            }
        }
        return stack.push(static_cast<machine_ptr>(operand)) ? KCR_ESUCCESS : KCR_EINTERNAL;
    }

    // The stack operations that copy, drop or reorder entries. A copy that
    // finds the stack full fails.
    kcr_error_t rearrange(uint8_t op) {
        machine_ptr* values = stack.values;
        const size_t depth = stack.depth;
        uint64_t index = 0;
        switch (op) {
            case DW_OP_dup:
                return depth > 0 && stack.push(values[depth - 1]) ? KCR_ESUCCESS : KCR_EINVAL;
            case DW_OP_drop: {
                machine_ptr dropped = 0;
                return stack.pop(&dropped) ? KCR_ESUCCESS : KCR_EINVAL;
            }
            case DW_OP_over:
                return depth >= 2 && stack.push(values[depth - 2]) ? KCR_ESUCCESS : KCR_EINVAL;
            case DW_OP_pick:
                if (stream.u(1, &index) != KCR_ESUCCESS || index >= depth)
                    return KCR_EINVAL;
                return stack.push(values[depth - 1 - index]) ? KCR_ESUCCESS : KCR_EINVAL;
            case DW_OP_swap:
                if (depth < 2)
                    return KCR_EINVAL;
                std::swap(values[depth - 1], values[depth - 2]);
                return KCR_ESUCCESS;
            default: {  // DW_OP_rot
                // The top moves to third place; the second and third move up.
                if (depth < 3)
                    return KCR_EINVAL;
                const machine_ptr top = values[depth - 1];
                values[depth - 1] = values[depth - 2];
                values[depth - 2] = values[depth - 3];
                values[depth - 3] = top;
                return KCR_ESUCCESS;
            }
        }
    }

    kcr_error_t unary(uint8_t op) {
        uint64_t operand = 0;
        if (op == DW_OP_plus_uconst && stream.uleb(&operand) != KCR_ESUCCESS)
            return KCR_EINVAL;
        machine_ptr a = 0;
        if (!stack.pop(&a))
            return KCR_EINTERNAL;
        if (op == DW_OP_abs)
            a = static_cast<machine_ptr_s>(a) < 0 ? static_cast<machine_ptr>(0 - a) : a;
        else if (op == DW_OP_neg)
            a = static_cast<machine_ptr>(0 - a);
        else if (op == DW_OP_not)
            a = static_cast<machine_ptr>(~a);
        else
            a = static_cast<machine_ptr>(a + operand);
        push_result(a);
        return KCR_ESUCCESS;
    }

    kcr_error_t binary(uint8_t op) {
        machine_ptr a = 0, b = 0, c = 0;
        if (!stack.pop(&b) || !stack.pop(&a))
            return KCR_EINTERNAL;
        if (!binary_result(op, a, b, &c))
            return KCR_EINVAL;
        push_result(c);
        return KCR_ESUCCESS;
    }

    // skip always moves by its 16-bit offset, bra when the popped value is not zero.
    kcr_error_t branch(uint8_t op) {
        uint64_t operand = 0;
        if (stream.u(2, &operand) != KCR_ESUCCESS)
            return KCR_EINVAL;
        bool move = true;
        if (op == DW_OP_bra) {
            machine_ptr condition = 0;
            if (!stack.pop(&condition))
                return KCR_EINTERNAL;
            move = condition != 0;
        }
        if (move && !stream.skip(static_cast<int16_t>(operand)))
            return KCR_EINVAL;
        return KCR_ESUCCESS;
    }

    const kcr_task_t& task_;
    const kcr_async_thread_state* state_;
};

}  // namespace

template <typename machine_ptr>
kcr_error_t kcr_async_dwarf_expression_eval(async_dwarf_memory* memory, const kcr_task_t& task,
                                            const kcr_async_thread_state* state, uint64_t address,
                                            int64_t offset, uint64_t length, const machine_ptr* initial,
                                            size_t initial_count, machine_ptr* result) {
    expression_machine<machine_ptr> machine(task, state);
    for (size_t i = 0; i < initial_count; ++i) {
        if (!machine.stack.push(initial[i]))
            return KCR_EINTERNAL;
    }
    uint64_t start = 0;
    if (!async_address_apply_offset(address, offset, &start))
        return KCR_EINVAL;
    if (!machine.stream.init(memory, start, length))
        return KCR_EINVAL;

    // Branches may go backwards, so an expression can loop: bound the work.
    uint32_t budget = kMaxExpressionSteps;
    while (!machine.stream.at_end()) {
        if (budget-- == 0)
            return KCR_EINVAL;
        uint64_t op = 0;
        if (machine.stream.u(1, &op) != KCR_ESUCCESS)
            return KCR_EINVAL;
        if (kcr_error_t error = machine.step(static_cast<uint8_t>(op)); error != KCR_ESUCCESS)
            return error;
    }
    if (machine.stack.depth == 0)
        return KCR_EINVAL;
    *result = machine.stack.values[machine.stack.depth - 1];
    return KCR_ESUCCESS;
}

template kcr_error_t kcr_async_dwarf_expression_eval<uint32_t>(async_dwarf_memory*, const kcr_task_t&,
                                                               const kcr_async_thread_state*, uint64_t,
                                                               int64_t, uint64_t, const uint32_t*, size_t,
                                                               uint32_t*);
template kcr_error_t kcr_async_dwarf_expression_eval<uint64_t>(async_dwarf_memory*, const kcr_task_t&,
                                                               const kcr_async_thread_state*, uint64_t,
                                                               int64_t, uint64_t, const uint64_t*, size_t,
                                                               uint64_t*);

}  // namespace kcr::async
