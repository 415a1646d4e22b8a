// Interface redirection: a pin of a transform filter answers an interface by
// asking the pin on the far side of the filter (the pin connected to the
// filter's other pin), so that the filters on both sides find each other's
// interfaces as if the filter were not there.
//
// - IKsPropertySetRedir<T> and IMediaSeekingRedir<T> are parts of the pin
//   class T itself. They keep nothing: every call asks the far side again
//   through the pin's redirect query (CPinBase::QueryRedirect) and forwards
//   the call, or answers E_NOTIMPL when the far side is gone. The pin's
//   interface map offers them through CPinBase::QueryRedirectEntry, that is
//   only while the far side offers the interface.
// - CTearOffMixerPinConfigFix<TOwner> is a tear-off of the owner pin that
//   answers IMixerPinConfig and IMixerPinConfig2. It keeps the far pin's
//   interface (its host) once found; three setters report success while
//   there is no host. IVoxaRedirect::Reconnect drops the kept host.
//
// A pin class T using these supplies GetTraceName and derives from
// CPinBase<T, TFilter> (which gives T::_PinBase).
#pragma once

#include "redir/PinRedirectors.h"
#include "redir/MixerPinConfigRedir.h"
