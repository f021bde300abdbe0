// The one wrapper every PKCS#11 call goes through: it binds a module's function list, calls a
// function of it and hands back the raw value, which the device layer maps to a program code
// in one table (CPSA::MapDeviceError).
#pragma once

#include <p11-kit/pkcs11.h>

#include <utility>

namespace vq {

class Cryptoki {
  public:
    void Bind(CK_FUNCTION_LIST_PTR list) noexcept { list_ = list; }
    void Unbind() noexcept { list_ = nullptr; }
    bool bound() const noexcept { return list_ != nullptr; }

    // Calls the member of the function list, e.g. Call(&CK_FUNCTION_LIST::C_Login, ...).
    // Without a bound module the answer is CKR_CRYPTOKI_NOT_INITIALIZED; a module that leaves
    // an entry empty answers CKR_FUNCTION_NOT_SUPPORTED.
    template <class Fn, class... Args>
    CK_RV Call(Fn CK_FUNCTION_LIST::*member, Args&&... args) const {
        if (!list_) return CKR_CRYPTOKI_NOT_INITIALIZED;
        Fn fn = list_->*member;
        if (!fn) return CKR_FUNCTION_NOT_SUPPORTED;
        return fn(std::forward<Args>(args)...);
    }

  private:
    CK_FUNCTION_LIST_PTR list_ = nullptr;
};

}  // namespace vq
