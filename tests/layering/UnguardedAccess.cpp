// A guarded member read without its mutex held.
#include "platform/foundation/Mutex.h"

namespace {

class Account {
  public:
    int balance() { return balance_; }

  private:
    plat::Mutex mutex_;
    int balance_ GUARDED_BY(mutex_) = 0;
};

}  // namespace

int layeringUnguardedAccess() {
    Account account;
    return account.balance();
}
