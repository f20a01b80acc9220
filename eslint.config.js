// The linter's rules for the extension, the page library and the demo, and for their unit tests.
// ESLint and its rule sets come from npm into the build folder (tests/js/setup.sh), whose
// node_modules VELDRA_JS_NODE_MODULES names (by default build/js-node/node_modules).
import { createRequire } from 'node:module';
import path from 'node:path';

const modules = process.env.VELDRA_JS_NODE_MODULES ?? new URL('./build/js-node/node_modules/', import.meta.url).pathname;
const require = createRequire(`${path.resolve(modules)}/`);
const js = require('@eslint/js');
const globals = require('globals');

export default [
  { ignores: ['web/demo/vendor/**', 'build/**'] },
  js.configs.recommended,
  {
    files: ['extension/**/*.js', 'web/**/*.js'],
    languageOptions: {
      ecmaVersion: 2024,
      sourceType: 'module',
      globals: { ...globals.browser, ...globals.webextensions },
    },
  },
  {
    files: ['extension/texts.js', 'extension/content.js'],
    languageOptions: { sourceType: 'script' },
  },
  {
    // The demo page loads the X.509 parser's browser build, which defines the global "x509".
    files: ['web/demo/demo.js'],
    languageOptions: { globals: { x509: 'readonly' } },
  },
  {
    files: ['tests/js/**/*.mjs'],
    languageOptions: { ecmaVersion: 2024, sourceType: 'module', globals: globals.node },
  },
  {
    rules: {
      eqeqeq: ['error', 'always'],
      'no-var': 'error',
      'prefer-const': 'error',
      'no-unused-vars': ['error', { caughtErrors: 'none' }],
    },
  },
];
