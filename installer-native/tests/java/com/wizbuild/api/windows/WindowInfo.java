// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.api.windows;
public class WindowInfo {}
