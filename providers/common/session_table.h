// The sessions of a provider, by id, shared by every provider. A session
// is found under the table's lock and handed out as a shared pointer, so a
// call that found it keeps it whole while a logoff takes it out of the
// table; no lock of the table is held while a session is used.
#ifndef VELPROVIDERS_SESSION_TABLE_H
#define VELPROVIDERS_SESSION_TABLE_H

#include <map>
#include <memory>
#include <type_traits>

#include "cmc.h"
#include "mutex.h"

namespace velproviders {

template <typename Session>
class SessionTable {
 public:
  // Gives session the next free id (ids count up and skip 0 and any still
  // open, so a closed id stays unknown for a long time), calls name(id) to
  // let the caller complete it under that id, and adds it. Returns the id.
  template <typename Name>
  CMC_session_id Add(std::shared_ptr<std::remove_const_t<Session>> session, const Name& name) {
    vel::os::MutexLock lock(mutex_);
    while (next_id_ == 0 || sessions_.count(next_id_)) ++next_id_;
    const CMC_session_id id = next_id_++;
    name(*session, id);
    sessions_[id] = std::move(session);
    return id;
  }

  // The open session of this id, or null.
  std::shared_ptr<Session> Find(CMC_session_id id) {
    vel::os::MutexLock lock(mutex_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
  }

  // Takes the session of this id out of the table and returns it; null when
  // there is none (closed already, or never opened).
  std::shared_ptr<Session> Remove(CMC_session_id id) {
    vel::os::MutexLock lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    std::shared_ptr<Session> removed = std::move(it->second);
    sessions_.erase(it);
    return removed;
  }

 private:
  vel::os::Mutex mutex_;
  std::map<CMC_session_id, std::shared_ptr<Session>> sessions_ VEL_GUARDED_BY(mutex_);
  CMC_session_id next_id_ VEL_GUARDED_BY(mutex_) = 1;
};

}  // namespace velproviders

#endif
