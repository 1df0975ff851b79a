// The call sites of the platform twins, as the test builds' fault hook sees them: each
// macro asks the hook whether this call fails. In the shipped library they are
// constants and the hook does not exist.
#ifndef QUILLBOX_PLATFORM_FAULT_SITES_H_
#define QUILLBOX_PLATFORM_FAULT_SITES_H_

#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#define QUILLBOX_CALL_FAILS(kind) testing::CallFails(testing::Call::kind)
#define QUILLBOX_SYNC_SKIPPED() testing::CallsArmed()
#define QUILLBOX_WRITING_REFUSED(path) testing::WritingRefused(path)
#else
#define QUILLBOX_CALL_FAILS(kind) false
#define QUILLBOX_SYNC_SKIPPED() false
#define QUILLBOX_WRITING_REFUSED(path) false
#endif

#endif  // QUILLBOX_PLATFORM_FAULT_SITES_H_
