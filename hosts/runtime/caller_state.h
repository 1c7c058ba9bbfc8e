// The state behind one caller handle (srv_proc): the parameters of the call
// it is running, the buffers the procedure bound to them, and everything
// the call sent back.
#ifndef VELSRV_CALLER_STATE_H
#define VELSRV_CALLER_STATE_H

#include <cstdint>
#include <map>
#include <vector>

#include "mutex.h"
#include "velsrv_exports.h"

struct srv_proc {
  // A buffer bound with srv_bind(get): filled by srv_xferdata(get).
  struct InputBinding {
    void* buf;
    int32_t* len;
    int16_t* indicator;
    int32_t maxlength;  // from the description passed to srv_bind
  };
  // A buffer bound with srv_bind(set): read by srv_xferdata(set).
  struct OutputBinding {
    const void* buf;
    const int32_t* len;
    const int16_t* indicator;
    int32_t datatype;
  };

  // Guards everything below: the procedure runs on the client thread, but
  // other threads (a worker of the library, the router) may reach the same
  // caller at the same time.
  vel::os::Mutex mu;
  std::vector<velsrv::RpcParam> params VEL_GUARDED_BY(mu);
  std::map<int32_t, InputBinding> inputs VEL_GUARDED_BY(mu);    // by item
  std::map<int32_t, OutputBinding> outputs VEL_GUARDED_BY(mu);  // by item
  bool in_call VEL_GUARDED_BY(mu) = false;
  velsrv::CallResult record VEL_GUARDED_BY(mu);  // of the running call

  // Starts a call with these parameters: bindings and record start empty.
  void BeginCall(std::vector<velsrv::RpcParam> call_params);
  // Ends the running call and hands over its record. The bindings point
  // into the procedure's memory, so they are dropped with it.
  velsrv::CallResult EndCall();

  // The parameter of an item from 1, or null. mu held.
  const velsrv::RpcParam* Param(int32_t item) const VEL_REQUIRES(mu);

  // Appends one reply to the running call, keeping the order of sending;
  // replies reaching a caller outside a call are dropped. mu held.
  void AddMessage(velsrv::ClientMessage message) VEL_REQUIRES(mu);
  void AddOutputs(std::vector<velsrv::OutputValue> batch) VEL_REQUIRES(mu);
  void AddDone(velsrv::DoneRecord done) VEL_REQUIRES(mu);
  void AddStatus(int32_t status) VEL_REQUIRES(mu);
};

#endif
