#include "platform/macos/mac_application.h"

#import <AppKit/AppKit.h>

// Forwards AppKit's delegate calls to the portable delegate.
@interface QuorvelApplicationDelegate : NSObject <NSApplicationDelegate>
- (instancetype)initWithDelegate:(quorvel::ApplicationDelegate*)delegate;
@end

@implementation QuorvelApplicationDelegate {
  quorvel::ApplicationDelegate* _delegate;  // not owned; outlives the loop
}

- (instancetype)initWithDelegate:(quorvel::ApplicationDelegate*)delegate {
  if ((self = [super init])) _delegate = delegate;
  return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  _delegate->applicationDidFinishLaunching();
}

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender {
  return _delegate->applicationShouldTerminateAfterLastWindowClosed() ? YES
                                                                      : NO;
}

@end

namespace quorvel {

struct MacApplication::Forwarder {
  QuorvelApplicationDelegate* object = nil;
};

MacApplication::MacApplication() : forwarder(std::make_unique<Forwarder>()) {}

MacApplication::~MacApplication() = default;

void MacApplication::setDelegate(ApplicationDelegate* delegate) {
  forwarder->object = delegate != nullptr ? [[QuorvelApplicationDelegate alloc]
                                                initWithDelegate:delegate]
                                          : nil;
  NSApplication.sharedApplication.delegate = forwarder->object;
}

void MacApplication::setActivationPolicyAccessory() {
  [NSApplication.sharedApplication
      setActivationPolicy:NSApplicationActivationPolicyAccessory];
}

void MacApplication::activate() {
  [NSApplication.sharedApplication activateIgnoringOtherApps:YES];
}

void MacApplication::run() { [NSApplication.sharedApplication run]; }

}  // namespace quorvel
