#include "crashcapture/KCRAsyncMObject.h"

namespace kcr::async {

kcr_error_t async_mobject_init(kcr_async_mobject* mobj, const kcr_task_t& task, uint64_t task_address,
                               uint64_t length, bool require_full) {
    *mobj = kcr_async_mobject{};
    if (length == 0)
        return KCR_ENOMEM;
    plat::machine::CopiedMapping mapping;
    plat::machine::ReadResult result =
        plat::machine::copyMapping(task, task_address, static_cast<size_t>(length), require_full, &mapping);
    if (result != plat::machine::ReadResult::Ok) {
        return result == plat::machine::ReadResult::NoPages ? KCR_EINTERNAL : KCR_ENOMEM;
    }
    const uint64_t in_page = task_address - mapping.alignedTaskAddress;
    if (mapping.mappingLength <= in_page) {
        plat::machine::freeMapping(&mapping);
        return KCR_ENOMEM;
    }
    mobj->task = task;
    mobj->vm_address = reinterpret_cast<uintptr_t>(mapping.mapping);
    mobj->vm_length = mapping.mappingLength;
    mobj->address = mobj->vm_address + in_page;
    mobj->length = mapping.mappingLength - in_page < length ? mapping.mappingLength - in_page : length;
    mobj->slide = static_cast<int64_t>(task_address - mobj->address);
    mobj->task_address = task_address;
    return KCR_ESUCCESS;
}

const kcr_task_t& async_mobject_task(const kcr_async_mobject* mobj) {
    return mobj->task;
}
uint64_t async_mobject_base_address(const kcr_async_mobject* mobj) {
    return mobj->task_address;
}
uint64_t async_mobject_length(const kcr_async_mobject* mobj) {
    return mobj->length;
}

bool async_mobject_verify_local_pointer(const kcr_async_mobject* mobj, uintptr_t pointer, int64_t offset,
                                        uint64_t length) {
    uint64_t start = 0;
    if (!async_address_apply_offset(pointer, offset, &start))
        return false;
    uint64_t end = start + length;
    if (end < start)
        return false;
    return start >= mobj->address && end <= mobj->address + mobj->length;
}

void* async_mobject_remap_address(const kcr_async_mobject* mobj, uint64_t task_address, int64_t offset,
                                  uint64_t length) {
    uint64_t target = 0;
    if (!async_address_apply_offset(task_address, offset, &target))
        return nullptr;
    // Local = task address - slide, computed so that a far-away address cannot wrap into range.
    if (target < mobj->task_address || target - mobj->task_address > mobj->length)
        return nullptr;
    uintptr_t local = mobj->address + (target - mobj->task_address);
    if (!async_mobject_verify_local_pointer(mobj, local, 0, length))
        return nullptr;
    return reinterpret_cast<void*>(local);
}

namespace {

template <class T>
kcr_error_t read_value(const kcr_async_mobject* mobj, uint64_t address, int64_t offset, T* result) {
    const void* local = async_mobject_remap_address(mobj, address, offset, sizeof(T));
    if (local == nullptr)
        return KCR_EINVAL;
    async_memcpy(result, local, sizeof(T));
    return KCR_ESUCCESS;
}

}  // namespace

kcr_error_t async_mobject_read_uint8(const kcr_async_mobject* mobj, uint64_t address, int64_t offset,
                                     uint8_t* result) {
    return read_value(mobj, address, offset, result);
}

kcr_error_t async_mobject_read_uint16(const kcr_async_mobject* mobj, const kcr_async_byteorder* order,
                                      uint64_t address, int64_t offset, uint16_t* result) {
    kcr_error_t error = read_value(mobj, address, offset, result);
    if (error == KCR_ESUCCESS)
        *result = order->swap16(*result);
    return error;
}

kcr_error_t async_mobject_read_uint32(const kcr_async_mobject* mobj, const kcr_async_byteorder* order,
                                      uint64_t address, int64_t offset, uint32_t* result) {
    kcr_error_t error = read_value(mobj, address, offset, result);
    if (error == KCR_ESUCCESS)
        *result = order->swap32(*result);
    return error;
}

kcr_error_t async_mobject_read_uint64(const kcr_async_mobject* mobj, const kcr_async_byteorder* order,
                                      uint64_t address, int64_t offset, uint64_t* result) {
    kcr_error_t error = read_value(mobj, address, offset, result);
    if (error == KCR_ESUCCESS)
        *result = order->swap64(*result);
    return error;
}

void async_mobject_free(kcr_async_mobject* mobj) {
    if (mobj->vm_address != 0) {
        plat::machine::CopiedMapping mapping{reinterpret_cast<void*>(mobj->vm_address),
                                             static_cast<size_t>(mobj->vm_length), 0};
        plat::machine::freeMapping(&mapping);
    }
    *mobj = kcr_async_mobject{};
}

}  // namespace kcr::async
