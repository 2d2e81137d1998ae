// The preferences window: one checkbox for enhanced security, saved when the window closes.
#include "ui/PreferencesDialog.h"

#import <AppKit/AppKit.h>

#include <string_view>

#include "ui/EnhancedSecurity.h"
#include "ui/PreferencesTexts.h"

namespace text = Lumenbox::preferencesText;

namespace {

NSString* LBString(std::string_view utf8) {
    NSString* string = [[NSString alloc] initWithBytes:utf8.data() length:utf8.size() encoding:NSUTF8StringEncoding];
    return string ?: @"";
}

}  // namespace

@interface LumenboxPreferencesDelegate : NSObject <NSWindowDelegate>
@property(nonatomic, strong) NSButton* enhancedSecurityCheckbox;
- (void)windowWillClose:(NSNotification*)notification;
@end

@implementation LumenboxPreferencesDelegate

// Closing is saving, by "Close", the Return key or the close box alike; there is no cancel.
- (void)windowWillClose:(NSNotification*)notification {
    Lumenbox::setEnhancedSecurityEnabled(self.enhancedSecurityCheckbox.state == NSControlStateValueOn);
    [NSApp stopModal];
}

@end

namespace Lumenbox {

void showNativePreferencesDialog() {
    @autoreleasepool {
        NSWindow* window = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 480, 310)
                                                       styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable
                                                         backing:NSBackingStoreBuffered
                                                           defer:NO];
        window.title = LBString(text::kWindowTitle);
        window.releasedWhenClosed = NO;
        window.level = NSModalPanelWindowLevel;
        NSView* content = window.contentView;

        // The logo drawn for the window's appearance, else the bitmap one, else none.
        NSImageView* logo = [[NSImageView alloc] init];
        logo.imageScaling = NSImageScaleProportionallyUpOrDown;
        NSBundle* bundle = [NSBundle bundleForClass:[LumenboxPreferencesDelegate class]];
        NSAppearanceName appearance = [window.effectiveAppearance
            bestMatchFromAppearancesWithNames:@[ NSAppearanceNameAqua, NSAppearanceNameDarkAqua ]];
        const bool dark = [appearance isEqualToString:NSAppearanceNameDarkAqua];
        NSImage* logoImage = nil;
        choosePreferencesLogo(dark, [&](const LogoResource& resource) {
            NSString* path = [bundle pathForResource:LBString(resource.name) ofType:LBString(resource.type)];
            logoImage = path ? [[NSImage alloc] initWithContentsOfFile:path] : nil;
            return logoImage != nil;
        });
        logo.image = logoImage;

        NSTextField* version = [NSTextField labelWithString:LBString(preferencesVersionText())];
        version.font = [NSFont monospacedDigitSystemFontOfSize:13 weight:NSFontWeightRegular];
        version.alignment = NSTextAlignmentCenter;

        NSButton* checkbox = [NSButton checkboxWithTitle:LBString(text::kCheckboxTitle) target:nil action:nil];
        checkbox.state = isEnhancedSecurityEnabled() ? NSControlStateValueOn : NSControlStateValueOff;

        NSTextField* explanation = [NSTextField wrappingLabelWithString:LBString(text::kExplanation)];
        explanation.font = [NSFont systemFontOfSize:12];
        explanation.textColor = NSColor.secondaryLabelColor;

        // The window holds its delegate weakly; this keeps it until the modal session is over.
        LumenboxPreferencesDelegate* delegate NS_VALID_UNTIL_END_OF_SCOPE = [[LumenboxPreferencesDelegate alloc] init];
        delegate.enhancedSecurityCheckbox = checkbox;
        window.delegate = delegate;

        NSButton* close = [NSButton buttonWithTitle:LBString(text::kCloseTitle)
                                             target:window
                                             action:@selector(performClose:)];
        close.bezelStyle = NSBezelStyleRounded;
        close.keyEquivalent = @"\r";

        for (NSView* view in @[ logo, version, checkbox, explanation, close ]) {
            view.translatesAutoresizingMaskIntoConstraints = NO;
            [content addSubview:view];
        }
        [NSLayoutConstraint activateConstraints:@[
            [logo.topAnchor constraintEqualToAnchor:content.topAnchor constant:24],
            [logo.centerXAnchor constraintEqualToAnchor:content.centerXAnchor],
            [logo.widthAnchor constraintLessThanOrEqualToConstant:180],
            [logo.heightAnchor constraintEqualToConstant:42],
            [version.topAnchor constraintEqualToAnchor:logo.bottomAnchor constant:6],
            [version.centerXAnchor constraintEqualToAnchor:content.centerXAnchor],
            [version.widthAnchor constraintEqualToConstant:160],
            [checkbox.topAnchor constraintEqualToAnchor:version.bottomAnchor constant:32],
            [checkbox.leadingAnchor constraintEqualToAnchor:content.leadingAnchor constant:24],
            [explanation.topAnchor constraintEqualToAnchor:checkbox.bottomAnchor constant:8],
            [explanation.leadingAnchor constraintEqualToAnchor:content.leadingAnchor constant:24],
            [explanation.trailingAnchor constraintEqualToAnchor:content.trailingAnchor constant:-24],
            [close.trailingAnchor constraintEqualToAnchor:content.trailingAnchor constant:-24],
            [close.bottomAnchor constraintEqualToAnchor:content.bottomAnchor constant:-20],
            [close.widthAnchor constraintEqualToConstant:96],
        ]];

        [window center];
        [window makeKeyAndOrderFront:nil];
        [NSApp activateIgnoringOtherApps:YES];
        [NSApp runModalForWindow:window];
        // The delegate stopped the session as the window closed.
        [window orderOut:nil];
        window.delegate = nil;
    }
}

}  // namespace Lumenbox
