// The authorization panel. Only the drawing lives here: which answer counts, the set of open
// dialogs, dismissal and every text come from the portable code in ui/.
#include "ui/AuthDialog.h"

#import <AppKit/AppKit.h>
#import <UniformTypeIdentifiers/UniformTypeIdentifiers.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "ui/AuthDialogState.h"
#include "ui/AuthDialogTexts.h"
#include "ui/MainQueue.h"

namespace text = Lumenbox::authDialogText;

namespace {

// UTF-8 to a native string; text that is not UTF-8 becomes the empty string.
NSString* LBString(std::string_view utf8) {
    NSString* string = [[NSString alloc] initWithBytes:utf8.data() length:utf8.size() encoding:NSUTF8StringEncoding];
    return string ?: @"";
}

NSTextField* LBLabel(NSString* value, NSFont* font, NSColor* color, BOOL wraps) {
    NSTextField* label = wraps ? [NSTextField wrappingLabelWithString:value] : [NSTextField labelWithString:value];
    label.font = font;
    label.textColor = color;
    label.selectable = YES;
    label.editable = NO;
    label.drawsBackground = NO;
    label.bezeled = NO;
    return label;
}

// A "Label   value" row; an empty value shows "Not provided".
NSStackView* LBRow(std::string_view title, NSString* value) {
    NSTextField* name = LBLabel(LBString(title), [NSFont boldSystemFontOfSize:13], NSColor.secondaryLabelColor, NO);
    name.frame = NSMakeRect(0, 0, 110, 18);
    [name.widthAnchor constraintEqualToConstant:110].active = YES;
    NSString* shown = value.length > 0 ? value : LBString(text::kNotProvided);
    NSTextField* content = LBLabel(shown, [NSFont systemFontOfSize:13], NSColor.labelColor, NO);
    // A long value (a client's description) is cut at the panel's edge rather than widening it.
    content.lineBreakMode = NSLineBreakByTruncatingTail;
    content.toolTip = shown;
    [content setContentCompressionResistancePriority:NSLayoutPriorityDefaultLow
                                      forOrientation:NSLayoutConstraintOrientationHorizontal];
    NSStackView* row = [NSStackView stackViewWithViews:@[ name, content ]];
    row.orientation = NSUserInterfaceLayoutOrientationHorizontal;
    row.alignment = NSLayoutAttributeTop;
    row.spacing = 12;
    return row;
}

NSButton* LBActionButton(std::string_view title, NSColor* color, std::string_view accessibilityLabel) {
    NSButton* button = [NSButton buttonWithTitle:LBString(title) target:nil action:nil];
    button.bezelStyle = NSBezelStyleRegularSquare;
    button.bordered = NO;
    button.wantsLayer = YES;
    button.layer.cornerRadius = 8;
    button.layer.backgroundColor = color.CGColor;
    button.contentTintColor = NSColor.whiteColor;
    button.font = [NSFont boldSystemFontOfSize:14];
    button.accessibilityLabel = LBString(accessibilityLabel);
    [button.heightAnchor constraintEqualToConstant:48].active = YES;
    return button;
}

NSImage* LBFileIcon() {
    NSImage* icon = nil;
    if (@available(macOS 11.0, *)) {
        UTType* type = [UTType typeWithFilenameExtension:LBString(text::kFileType)];
        icon = [NSWorkspace.sharedWorkspace iconForContentType:(type ?: UTTypeData)];
    } else {
        icon = [NSWorkspace.sharedWorkspace iconForFileType:LBString(text::kFileType)];
    }
    icon = [icon copy];  // the workspace may share its image; this one is resized
    icon.size = NSMakeSize(40, 40);
    return icon;
}

}  // namespace

@interface LBAuthDialogController : NSObject <NSWindowDelegate>
- (instancetype)initWithFileName:(NSString*)fileName
                      clientName:(NSString*)clientName
               clientDescription:(NSString*)clientDescription
                 sessionIdPrefix:(NSString*)sessionIdPrefix
                     idleTimeout:(NSString*)idleTimeout
                          ticket:(std::uint64_t)ticket
                            done:(std::function<void(bool)>)done;
- (void)show;
- (void)allow:(id)sender;
- (void)deny:(id)sender;
- (void)toggleTechnicalDetails:(NSButton*)sender;
- (void)windowWillClose:(NSNotification*)notification;
- (void)complete:(BOOL)allowed;
@end

@implementation LBAuthDialogController {
    NSPanel* _panel;
    NSStackView* _technicalDetails;  // the Session row; hidden until the user opens it
    // Which answer counts, and the callback; while open, the set of open dialogs keeps it, and
    // through the window closer given to it in -show, this controller, alive.
    std::shared_ptr<Lumenbox::AuthDialogState> _state;
}

- (instancetype)initWithFileName:(NSString*)fileName
                      clientName:(NSString*)clientName
               clientDescription:(NSString*)clientDescription
                 sessionIdPrefix:(NSString*)sessionIdPrefix
                     idleTimeout:(NSString*)idleTimeout
                          ticket:(std::uint64_t)ticket
                            done:(std::function<void(bool)>)done {
    self = [super init];
    if (!self) return nil;
    _state = Lumenbox::AuthDialogState::create(std::move(done), ticket);

    _panel = [[NSPanel alloc] initWithContentRect:NSMakeRect(0, 0, 620, 460)
                                        styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable
                                          backing:NSBackingStoreBuffered
                                            defer:NO];
    _panel.title = LBString(text::kWindowTitle);
    _panel.delegate = self;
    _panel.releasedWhenClosed = NO;
    _panel.level = NSFloatingWindowLevel;
    _panel.accessibilityLabel = LBString(text::kWindowAccessibilityLabel);
    NSView* content = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 620, 460)];
    content.translatesAutoresizingMaskIntoConstraints = NO;
    _panel.contentView = content;

    NSImageView* caution = [NSImageView imageViewWithImage:[NSImage imageNamed:NSImageNameCaution]];
    caution.accessibilityLabel = LBString(text::kCautionAccessibilityLabel);

    NSTextField* heading = LBLabel(LBString(text::kHeading), [NSFont boldSystemFontOfSize:20], NSColor.labelColor, YES);

    NSString* bodyFormat = LBString(text::kBodyFormat);
    NSString* bodyAccessibilityFormat = LBString(text::kBodyAccessibilityFormat);
    NSTextField* body = LBLabel([bodyFormat stringByReplacingOccurrencesOfString:@"%@" withString:idleTimeout],
                                [NSFont systemFontOfSize:14], NSColor.labelColor, YES);
    body.accessibilityLabel = [bodyAccessibilityFormat stringByReplacingOccurrencesOfString:@"%@"
                                                                                withString:idleTimeout];

    NSImageView* fileIcon = [NSImageView imageViewWithImage:LBFileIcon()];
    [fileIcon.widthAnchor constraintEqualToConstant:40].active = YES;
    [fileIcon.heightAnchor constraintEqualToConstant:40].active = YES;
    fileIcon.accessibilityLabel = LBString(text::kFileCaption);
    NSTextField* fileCaption =
        LBLabel(LBString(text::kFileCaption), [NSFont systemFontOfSize:12], NSColor.secondaryLabelColor, NO);
    NSTextField* fileLabel = LBLabel(fileName, [NSFont boldSystemFontOfSize:17], NSColor.labelColor, NO);
    NSStackView* fileText = [NSStackView stackViewWithViews:@[ fileCaption, fileLabel ]];
    fileText.orientation = NSUserInterfaceLayoutOrientationVertical;
    fileText.alignment = NSLayoutAttributeLeading;
    fileText.spacing = 2;
    NSStackView* fileCard = [NSStackView stackViewWithViews:@[ fileIcon, fileText ]];
    fileCard.orientation = NSUserInterfaceLayoutOrientationHorizontal;
    fileCard.alignment = NSLayoutAttributeCenterY;
    fileCard.spacing = 12;
    fileCard.edgeInsets = NSEdgeInsetsMake(12, 12, 12, 12);
    fileCard.wantsLayer = YES;
    fileCard.layer.cornerRadius = 8;
    fileCard.layer.borderWidth = 1;
    fileCard.layer.borderColor = NSColor.separatorColor.CGColor;
    fileCard.layer.backgroundColor = NSColor.controlBackgroundColor.CGColor;

    _technicalDetails = [NSStackView stackViewWithViews:@[ LBRow(text::kSessionRow, sessionIdPrefix) ]];
    _technicalDetails.orientation = NSUserInterfaceLayoutOrientationVertical;
    _technicalDetails.alignment = NSLayoutAttributeLeading;
    _technicalDetails.spacing = 10;
    _technicalDetails.hidden = YES;

    NSButton* disclosure = [NSButton buttonWithTitle:LBString(text::kDisclosureTitle)
                                              target:self
                                              action:@selector(toggleTechnicalDetails:)];
    [disclosure setButtonType:NSButtonTypeToggle];
    disclosure.bezelStyle = NSBezelStyleInline;
    disclosure.bordered = NO;
    disclosure.image = [NSImage imageNamed:NSImageNameRightFacingTriangleTemplate];
    disclosure.imagePosition = NSImageLeft;
    disclosure.accessibilityLabel = LBString(text::kDisclosureTitle);
    disclosure.state = NSControlStateValueOff;

    NSStackView* details = [NSStackView stackViewWithViews:@[
        LBRow(text::kServiceRow, clientName), LBRow(text::kDescriptionRow, clientDescription), disclosure,
        _technicalDetails
    ]];
    details.orientation = NSUserInterfaceLayoutOrientationVertical;
    details.alignment = NSLayoutAttributeLeading;
    details.spacing = 10;

    NSButton* denyButton = LBActionButton(text::kDenyTitle, NSColor.systemRedColor, text::kDenyAccessibilityLabel);
    denyButton.target = self;
    denyButton.action = @selector(deny:);
    denyButton.keyEquivalent = @"";
    NSButton* allowButton =
        LBActionButton(text::kAllowTitle, NSColor.systemGreenColor, text::kAllowAccessibilityLabel);
    allowButton.target = self;
    allowButton.action = @selector(allow:);
    allowButton.keyEquivalent = @"";
    NSStackView* buttons = [NSStackView stackViewWithViews:@[ denyButton, allowButton ]];
    buttons.orientation = NSUserInterfaceLayoutOrientationHorizontal;
    buttons.alignment = NSLayoutAttributeCenterY;
    buttons.distribution = NSStackViewDistributionFillEqually;
    buttons.spacing = 12;

    NSStackView* mainStack = [NSStackView stackViewWithViews:@[ heading, body, fileCard, details ]];
    mainStack.orientation = NSUserInterfaceLayoutOrientationVertical;
    mainStack.alignment = NSLayoutAttributeLeading;
    mainStack.spacing = 16;

    for (NSView* view in @[ caution, mainStack, buttons ]) {
        view.translatesAutoresizingMaskIntoConstraints = NO;
        [content addSubview:view];
    }
    [NSLayoutConstraint activateConstraints:@[
        [caution.leadingAnchor constraintEqualToAnchor:content.leadingAnchor constant:24],
        [caution.topAnchor constraintEqualToAnchor:content.topAnchor constant:26],
        [caution.widthAnchor constraintEqualToConstant:48],
        [caution.heightAnchor constraintEqualToConstant:48],
        [mainStack.leadingAnchor constraintEqualToAnchor:caution.trailingAnchor constant:18],
        [mainStack.trailingAnchor constraintEqualToAnchor:content.trailingAnchor constant:-24],
        [mainStack.topAnchor constraintEqualToAnchor:content.topAnchor constant:24],
        [buttons.leadingAnchor constraintEqualToAnchor:content.leadingAnchor constant:24],
        [buttons.trailingAnchor constraintEqualToAnchor:content.trailingAnchor constant:-24],
        [buttons.bottomAnchor constraintEqualToAnchor:content.bottomAnchor constant:-22],
        [buttons.topAnchor constraintGreaterThanOrEqualToAnchor:mainStack.bottomAnchor constant:22],
    ]];
    return self;
}

- (void)show {
    LBAuthDialogController* controller = self;
    NSPanel* panel = _panel;
    // Ordered out rather than closed once answered, so that -windowWillClose: does not fire.
    _state->show([controller, panel] {
        @autoreleasepool {
            [panel orderOut:controller];
        }
    });
    [_panel center];
    [NSApp activateIgnoringOtherApps:YES];
    [_panel makeKeyAndOrderFront:nil];
}

- (void)allow:(id)sender {
    [self complete:YES];
}

- (void)deny:(id)sender {
    [self complete:NO];
}

- (void)toggleTechnicalDetails:(NSButton*)sender {
    const BOOL open = sender.state == NSControlStateValueOn;
    _technicalDetails.hidden = !open;
    sender.image = [NSImage imageNamed:open ? NSImageNameTouchBarGoDownTemplate : NSImageNameRightFacingTriangleTemplate];
    sender.accessibilityLabel = LBString(open ? text::kHideDetailsAccessibilityLabel : text::kShowDetailsAccessibilityLabel);
}

// The close box counts as a denial.
- (void)windowWillClose:(NSNotification*)notification {
    [self complete:NO];
}

- (void)complete:(BOOL)allowed {
    _state->complete(allowed == YES);
}

@end

namespace Lumenbox {

std::uint64_t requestSessionAuthorization(const std::string& fileName, const std::string& clientName,
                                          const std::string& clientDescription, const std::string& sessionIdPrefix,
                                          std::int64_t idleTimeoutSeconds, std::function<void(bool allowed)> done) {
    // Copies, with the client name defaulted, non-UTF-8 text emptied, control characters removed
    // and the duration worked out.
    auto content = makeAuthDialogContent(fileName, clientName, clientDescription, sessionIdPrefix, idleTimeoutSeconds);
    const std::uint64_t ticket = nextAuthDialogTicket();
    runOnMainQueue([content = std::move(content), done = std::move(done), ticket]() mutable {
        @autoreleasepool {
            LBAuthDialogController* controller =
                [[LBAuthDialogController alloc] initWithFileName:LBString(content.fileName)
                                                      clientName:LBString(content.clientName)
                                               clientDescription:LBString(content.clientDescription)
                                                 sessionIdPrefix:LBString(content.sessionIdPrefix)
                                                     idleTimeout:LBString(content.durationText)
                                                          ticket:ticket
                                                            done:std::move(done)];
            [controller show];
        }
    });
    return ticket;
}

}  // namespace Lumenbox
