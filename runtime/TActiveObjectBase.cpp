#include "runtime/TActiveObjectBase.h"

#include "runtime/TFunctor.h"

bool TActiveObjectBase::PushAndBlock(TFunctor* functor, platform::DWORD) {
  delete functor;
  return false;
}
