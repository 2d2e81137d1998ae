#include "ui/EnhancedSecurity.h"

#import <Foundation/Foundation.h>

namespace Lumenbox {

namespace {

NSString* const kSettingKey = @"EnableEnhancedSecurity";

}  // namespace

// Each call asks the standard user defaults, which are safe to use from any thread; nothing is
// cached here.
bool isEnhancedSecurityEnabled() noexcept {
    @autoreleasepool {
        return [[NSUserDefaults standardUserDefaults] boolForKey:kSettingKey];
    }
}

void setEnhancedSecurityEnabled(bool enabled) noexcept {
    @autoreleasepool {
        NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
        [defaults setBool:(enabled ? YES : NO) forKey:kSettingKey];
        [defaults synchronize];
    }
}

}  // namespace Lumenbox
