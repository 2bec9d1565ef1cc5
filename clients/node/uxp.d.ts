// The UXP client: the same API as index.js; by default the tool comes from the plugin folder
// (mac/arm64, mac/x64, win/x64), started by the sandrel-adobe-auth.uxpaddon add-on.
export * from './index';
