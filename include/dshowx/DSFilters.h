// The filter and pin templates of the framework.
//
// A filter class T derives from CComObjectRootEx<CComMultiThreadModel> (its
// critical section is the filter lock), from CTransInPlaceFilter<T,TIn,TOut>
// (state, pins, state change, the default hooks) and from IBaseFilterImpl<T>
// (the COM interface). Its pin classes derive from CInputPin<TIn,T> with
// CMemInputPinFilter<TIn> (IMemInputPin), or from COutputPin<TOut,T> with
// CTransInPlaceAllocator<TOut>, each with the pin's one media type
// (CMTSingle).
//
// The templates call the filter class and the pin classes statically, by
// name: a class replaces a default hook by declaring a member of the same
// name. Every hook that a pin calls on its filter gets the pin's cookie first
// (0 input, 1 output, the pin's direction).
//
// What the classes supply besides their COM maps:
// - the filter class: GetTraceName, GetObjectCLSID (its coclass),
//   Filter_JoinFilterGraph (bind the pins on a join, Reset on a leave),
//   Filter_CompleteConnect (a connection of either pin is complete),
//   Filter_SendSample (a sample that passed the input pin's checks),
//   FinalConstruct with CreatePins and FinalRelease with ClearPins;
// - each pin class: GetTraceName, FinalConstruct and FinalRelease;
// - the output pin class: m_bMTEnumRedir, the media-type enumeration switch,
//   and AgreeExchange (the step after a type was agreed; AgreeAllocator is
//   the default work for it).
// The input pin class may allow a change of type while the filter runs
// (IsDynReconnectAllowed) or skip the types attached to samples
// (CheckSampleMT).
//
// Pins are COM objects of their own, with their own reference counts; the
// filter owns them, a pin holds only a plain pointer to its filter. When the
// filter lets its pins go it breaks that link first, so that a pin a host still
// holds answers its calls without the filter (every use of the link checks it).
//
// Locks, outermost first: the filter lock, the input pin's object lock, the
// output pin's object lock, the output pin's allocator lock (a leaf: nothing
// is called under it but AddRef and Release). The input pin's lock is held
// across its allocator questions, which may take the output pin's lock, and
// across the flush hooks, which reach the downstream pin through a counted
// copy of it. A connection holds its pin's lock across the calls to the
// neighbour, which on Wine may reconnect pins of this filter on the same
// thread (the locks are re-entrant). The input pin's receive lock is taken
// with no other lock held and is held over each sample's whole way
// downstream; the streaming thread reads the output connection only through
// counted copies taken under the allocator lock (GetConnectedPin,
// GetConnectedMemInput, GetSample), so a wait for a buffer or a blocking
// downstream pin holds no lock the graph thread needs to stop the filter.
#pragma once

#include "filter/FilterCategory.h"
#include "filter/BaseFilter.h"
#include "filter/IBaseFilterImpl.h"
#include "filter/Pin.h"
#include "filter/IPinImpl.h"
#include "filter/InputPin.h"
#include "filter/MemInputPin.h"
#include "filter/OutputPin.h"
#include "filter/InPlaceAllocator.h"
#include "filter/MorphletFilter.h"
#include "filter/TransInPlaceFilter.h"
#include "DSWrappers.h"
